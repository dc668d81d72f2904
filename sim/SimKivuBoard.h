#pragma once
// The Kivu programming board between the host's serial port and the chip.
//
// The board is its own small computer: it answers framed commands on the
// host's line, drives the chip's reset line and mode pins, switches the
// programming supplies, boots the chip and hands it the micro-kernel itself,
// sets up both of its serial links and relays bytes in transparent mode. Its
// link to the chip is the chip's own pty, which the board opens as a host
// would, so the chip's line sees the board's rate changes as it sees a PC's.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/String.h"
#include "platform/Types.h"
#include "sim/SimLine.h"
#include "sim/SimTranscript.h"

class CSimDefinition;
class CSimTarget;
using CSimOverrides = std::vector<std::pair<CString, CString>>;

// The [Simulator] keys of the board and the JTAG adapter.
class CSimBoardSettings
{
public:
    bool m_bPresent = false;       // "Kivu Board": a board sits in front of the chip
    WORD m_wFirmware = 0x0300;     // "Kivu Firmware": major in the high byte (1, 2 or 3)
    DWORD m_dwEraseWait = 2000;    // "Kivu Erase Wait": ms the board waits for the chip's erase answer
    // Faults (counts are 1-based, 0 never).
    bool m_bSilent = false;        // "Kivu Silent": the board answers nothing
    DWORD m_dwResetDetected = 0;   // "Kivu Reset Detected": the Nth SCI set-up is answered 0x88
    DWORD m_dwWrongAnswer = 0;     // "Kivu Wrong Answer": the Nth answer frame carries a wrong code
    DWORD m_dwShortFrame = 0;      // "Kivu Short Frame": the Nth answer frame lacks its status byte
    // The JTAG adapter.
    int m_nScanResult = 1000;          // "Pelto Scan Result": what the connection test scan returns
    bool m_bPeltoUnavailable = false;  // "Pelto Port Unavailable": the adapter port cannot be opened

    static bool IsKey(const CString& key);
    static const std::vector<const char*>& Keys();
    // Reads the keys from the definition's [Simulator] section; overrides win.
    bool Load(const CSimDefinition& def, const CSimOverrides& overrides, CString* pError);
};

class CSimKivuBoard
{
public:
    CSimKivuBoard(CSimTarget& target, const CSimBoardSettings& settings);
    ~CSimKivuBoard();
    CSimKivuBoard(const CSimKivuBoard&) = delete;
    CSimKivuBoard& operator=(const CSimKivuBoard&) = delete;

    // Creates the host's pty, opens the chip's line and starts the board.
    bool Start(CString* pError);
    void Stop();
    CString GetPortName() const { return m_PCLine.GetSlavePath(); }

    // What the board drives; any thread.
    bool Is12VOn() const { return m_b12V.load(); }
    bool IsVppOn() const { return m_bVpp.load(); }
    bool IsMDxOn() const { return m_bMDx.load(); }
    bool IsMDyOn() const { return (Port(0xFFB3) & 0x20) == 0; }
    bool IsResetHeld() const { return m_bResetHeld.load(); }
    bool IsTransparent() const { return m_bTransparent.load(); }
    DWORD GetPCRate() const { return m_PCLine.GetTargetRate(); }
    DWORD GetChipRate() const { return m_dwChipRate.load(); }
    std::uint64_t GetIdleMilliseconds() const { return m_PCLine.GetIdleMilliseconds(); }
    bool IsQuiet(DWORD quietMs) const { return m_PCLine.IsQuiet(quietMs); }
    BYTE Port(WORD address) const { return m_Ports[address].load(); }
    const CSimTranscript& GetTranscript() const { return m_Transcript; }
    std::vector<CSimEvent> GetEvents(eSimEventKind kind) const { return m_Transcript.GetEvents(kind); }
    void SetEventListener(std::function<void(const CSimEvent&)> listener)
    {
        m_Transcript.SetEventListener(std::move(listener));
    }
    // Replaces the board's faults; their counts start again.
    void SetFaults(const CSimBoardSettings& settings);

private:
    void ThreadMain();
    bool ReadFrame(BYTE* pCommand, std::vector<BYTE>* pData);
    void Handle(BYTE command, const std::vector<BYTE>& data);
    // Whether the frame has count data bytes; if not, noted and answered as an error.
    bool Need(BYTE command, const std::vector<BYTE>& data, std::size_t count);
    static DWORD Number(const std::vector<BYTE>& data);
    void Relay();
    // A host byte in transparent mode goes to the chip, past the watch for the baud change.
    void Forward(BYTE byte);
    void ReleaseHeld();

    // Answers: the code (E0 + command) and the status byte, where the faults strike.
    bool BeginAnswer(BYTE command);
    void EndAnswer(BYTE status);
    void Answer(BYTE command, const std::vector<BYTE>& data, BYTE status);
    void Out(BYTE byte);

    void Status();
    void Switch(BYTE command, bool bOn, std::atomic<bool>& supply, const char* name);
    void SetMDx(bool bOn);
    void EnterTransparentMode();
    void RunLoadedCommand();
    void SetResetLine(bool bHeld);
    void BootChip();
    void DownloadMicroKernel(DWORD count);
    void SetupSCI(const std::vector<BYTE>& block);
    void LoadCommand(DWORD count);
    void WritePort(WORD address, BYTE value, BYTE operation);
    void ApplyPins();
    void ResetBoard();
    BYTE BaudCommand() const;
    void BaudChangeExchange();
    void Exit(const char* why);

    // The chip's line, as its host.
    bool ChipOpen(CString* pError);
    void ChipClose();
    void ChipSetRate(DWORD rate);
    bool ChipSend(BYTE byte);
    bool ChipReceive(BYTE* pByte, DWORD timeoutMs);
    void ChipFlush();

    void Event(eSimEventKind kind, const char* pszFormat, ...) __attribute__((format(printf, 3, 4)));
    CSimBoardSettings Faults() const;

    CSimTarget& m_target;
    CSimBoardSettings m_Settings; // the faults in it change under m_faultLock
    mutable std::mutex m_faultLock;
    CSimTranscript m_Transcript;
    CSimLine m_PCLine;
    int m_nChip = -1;
    std::thread m_thread;
    std::atomic<bool> m_bStop{false};

    std::atomic<BYTE> m_Ports[0x10000];
    std::atomic<bool> m_b12V{true};
    std::atomic<bool> m_bVpp{false};
    std::atomic<bool> m_bMDx{false};
    std::atomic<bool> m_bResetHeld{false};
    std::atomic<bool> m_bTransparent{false};
    std::atomic<DWORD> m_dwChipRate{9600};
    bool m_bModeByte = false;     // transparent mode entered after the mode byte: watches for the baud change
    bool m_bModeSent = false;     // the last byte sent out of SCI1 by register access was the mode byte 0x55
    bool m_bEscape = false;       // a 0x55 from the host waits for the byte after it
    bool m_bCheckPending = false; // the micro-kernel waits for the link check at its new rate
    bool m_bBooted = false;       // the chip's boot program has acknowledged and waits for a micro-kernel
    DWORD m_dwStartsSeen = 0;
    std::atomic<DWORD> m_dwAnswers{0};
    std::atomic<DWORD> m_dwSCISetups{0};
    std::vector<BYTE> m_LoadedCommand;
    // Host bytes held back in transparent mode while they may be the start of
    // the board's own transparent-mode frame.
    std::vector<BYTE> m_Held;
    std::chrono::steady_clock::time_point m_heldSince;
};
