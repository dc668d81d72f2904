#pragma once
// Faults the virtual target can be told to commit, from the definition's
// [Simulator] section or through CSimTarget::SetFaults. Counts are 1-based and
// run from the moment the faults were set (start of the target or SetFaults);
// 0 means never.
#include "platform/Types.h"
#include "sim/SimTranscript.h"

enum eSimBootAnswer
{
    baAcknowledge = 0, // 0x55 is answered with 0xAA
    baEraseFailed = 1, // answered with 0xFF
    baSilent = 2,      // not answered
};

class CSimFaults
{
public:
    DWORD m_dwDropHostByte = 0;       // the Nth byte from the host never reaches the target
    DWORD m_dwCorruptHostByte = 0;    // the Nth byte from the host arrives with bits flipped
    DWORD m_dwDropTargetByte = 0;     // the Nth byte from the target is lost
    DWORD m_dwCorruptTargetByte = 0;  // the Nth byte from the target arrives with bits flipped
    DWORD m_dwStopAfterHostBytes = 0; // after N bytes from the host the target sends nothing more
    eSimBootAnswer m_eBootAnswer = baAcknowledge;
    bool m_bWrongHandshake = false;     // the kernel reports the inverse of its handshake byte
    bool m_bUserKernelRunning = false;  // every main kernel answers as a USER-mode kernel
    DWORD m_dwFailErase = 0;            // the Nth erase command ends with 0x30
    bool m_bFailAutoErase = false;      // the boot program's automatic erase ends with 0xFF
    DWORD m_dwFailWrite = 0;            // the Nth write command ends with final status 0x23
    DWORD m_dwFailWriteChunk = 0;       // the Nth write chunk is answered with a failure
    DWORD m_dwAcceptWriteChunk = 0;     // the Nth write chunk is answered 0x10: taken, not verified yet
    DWORD m_dwFailStatus = 0;           // Protocol B: the Nth status inquiry reports an error
    DWORD m_dwErasePolls = 2;           // 0x29 bytes sent while a block erases (many: a slow erase)
    DWORD m_dwCorruptEraseRegisters = 0; // the erase-register bytes of the Nth erase command arrive bent
    DWORD m_dwLoseReadAck = 0;          // the Nth read-chunk acknowledge (0x00) never reaches the kernel
    DWORD m_dwCorruptReadReply = 0;     // Protocol B: a data byte of the Nth read reply arrives bent
    bool m_bRepeatBootAnswer = false;   // the boot program answers every 0x00 of the bit-rate train
    DWORD m_dwLateBootAnswer = 0;       // ms the boot program waits before answering the 0x00

    // Line faults for the fault soak. With a fault phase, the byte counts of
    // the line faults (drop, corrupt, delay, duplicate, stop) run over the
    // bytes of that phase only, so a fault can hit, say, the 3rd byte of an erase.
    eSimPhase m_eFaultPhase = phPhaseCount; // phPhaseCount: every byte counts
    DWORD m_dwDelayHostByte = 0;       // the Nth byte from the host arrives m_dwFaultDelay ms late
    DWORD m_dwDelayTargetByte = 0;     // the Nth byte from the target leaves m_dwFaultDelay ms late
    DWORD m_dwFaultDelay = 500;
    DWORD m_dwDuplicateHostByte = 0;   // the Nth byte from the host arrives twice
    DWORD m_dwDuplicateTargetByte = 0; // the Nth byte from the target is sent twice
    DWORD m_dwFlipReadBit = 0;         // the Nth FLASH byte a kernel reads for the host reads with bit 0 flipped

    // Bits flipped in a corrupted byte.
    static constexpr BYTE kCorruptMask = 0x5A;
};
