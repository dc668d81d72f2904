#pragma once
// Everything that crossed the line, byte by byte, with its direction, time and
// the protocol phase the target was in, plus the target's own remarks (notes,
// protocol violations, refused operations, injected faults). Written as
// readable text or as JSON. Safe to read from any thread while the target runs.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

#include "platform/String.h"
#include "platform/Types.h"

enum eSimDirection : BYTE
{
    sdHostToTarget = 0,
    sdTargetToHost = 1,
};

// Flags of one byte.
enum eSimByteFlag : BYTE
{
    sfGarbled = 0x01,    // the two ends ran at different rates
    sfCorrupted = 0x02,  // an injected fault flipped bits
    sfDropped = 0x04,    // an injected fault lost it
    sfSuppressed = 0x08, // the target had stopped answering; never sent
};

enum eSimPhase : BYTE
{
    phIdle = 0,
    phBitRateMatching,
    phBootAcknowledge,
    phMicroKernelDownload,
    phAutoErase,
    phBaudChange,
    phRateCheck,
    phMainKernelDownload,
    phUserCommand,
    phCommand,
    phIdentity,
    phHandshake,
    phErase,
    phBlankCheck,
    phRead,
    phWrite,
    phModuleDownload,
    phFunctionMap,
    phEndOfConnection,
    phHalted,
    phInquiry,
    phPhaseCount
};

enum eSimEventKind : BYTE
{
    ekNote = 0,
    ekViolation = 1, // the host broke the protocol or the chip's rules
    ekRefusal = 2,   // the kernel refused an operation, and why
    ekFault = 3,     // an injected fault struck
};

class CSimByteEntry
{
public:
    std::uint64_t m_qwMicroseconds = 0;
    // The same instant to the nanosecond: when the byte had finished crossing.
    std::uint64_t m_qwNanoseconds = 0;
    BYTE m_bySent = 0; // as the sender put it on the line
    BYTE m_bySeen = 0; // as the receiver got it
    BYTE m_byFlags = 0;
    eSimDirection m_eDirection = sdHostToTarget;
    eSimPhase m_ePhase = phIdle;
};

class CSimEvent
{
public:
    std::uint64_t m_qwMicroseconds = 0;
    std::size_t m_nBytesBefore = 0; // bytes recorded before it, for ordering
    eSimEventKind m_eKind = ekNote;
    eSimPhase m_ePhase = phIdle;
    CString m_strText;
};

class CSimTranscript
{
public:
    // A transcript this long stops recording bytes (events still come).
    static constexpr std::size_t kMaxBytes = 4u << 20;

    CSimTranscript();

    void Clear();
    void AddByte(eSimDirection direction, BYTE sent, BYTE seen, BYTE flags, eSimPhase phase);
    // A byte whose last bit ended at a given instant of the line's own schedule.
    void AddByte(eSimDirection direction, BYTE sent, BYTE seen, BYTE flags, eSimPhase phase,
                 std::chrono::steady_clock::time_point ended);
    void AddEvent(eSimEventKind kind, eSimPhase phase, const CString& text);
    // Called with every event as it is added (outside the transcript's lock).
    void SetEventListener(std::function<void(const CSimEvent&)> listener);

    std::vector<CSimByteEntry> GetBytes() const;
    std::vector<CSimEvent> GetEvents() const;
    std::vector<CSimEvent> GetEvents(eSimEventKind kind) const;
    std::size_t GetByteCount() const;

    // The bytes that reached the receiver in one direction, dropped ones left out.
    std::vector<BYTE> SeenBytes(eSimDirection direction) const;

    CString FormatText(const CString& title) const;
    CString FormatJSON(const CString& title) const;
    // Text, or JSON when the path ends in ".json". False with the reason on failure.
    bool Write(const CString& path, const CString& title, CString* pError) const;

    static const char* PhaseName(eSimPhase phase);
    static const char* KindName(eSimEventKind kind);

private:
    std::uint64_t Now() const;

    mutable std::mutex m_lock;
    std::chrono::steady_clock::time_point m_origin;
    std::vector<CSimByteEntry> m_Bytes;
    std::vector<CSimEvent> m_Events;
    bool m_bFull = false;
    std::function<void(const CSimEvent&)> m_listener;
};
