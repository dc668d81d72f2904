#pragma once
// The target's end of the serial line: the master side of a pty pair whose
// slave the host opens as its serial port.
//
// The line knows both rates: the target's own (set by its programs) and the
// host's (read from the pty's termios, which the master sees). A byte that
// crosses while the two differ arrives garbled, in either direction. The
// host's rate is watched every few milliseconds; bytes read while it was
// changing are taken as sent at whichever of the old and new rates matches
// the target (the host usually changes rate right after its last byte at the
// old one, and the target cannot see exactly when).
//
// Paced ("Throttle"), each direction runs at its sender's rate, 10 bit times a
// byte, on a schedule of absolute instants: a host byte arrives one byte time
// after the later of its being written and the previous host byte's arrival; a
// chip byte ends one byte time after the later of the chip's own time (the
// arrival of what it answers, the end of its delays) and the previous chip
// byte's end. Nothing is delivered before its instant, so the line is never
// faster than a UART; a late wake-up of this thread is not carried into the
// schedule, so it does not slow the line either.
//
// Injected byte faults (drop, corrupt, stop answering) are applied here, and
// every byte is written to the transcript, at its instant on the schedule.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/String.h"
#include "platform/Types.h"
#include "sim/SimFaults.h"
#include "sim/SimTranscript.h"

// The chip's debug interface: a second way to reach its programs (the JTAG
// adapter's words). While a program takes its bytes from here, its answers go
// back the same way. Called on the chip's thread.
class CSimDebugPort
{
public:
    virtual ~CSimDebugPort() = default;
    virtual bool Take(BYTE* pByte) = 0;
    virtual void Give(BYTE byte) = 0;
    // Words carry the host's fields and the chip's answers whole: a field that
    // ends inside a word leaves padding to drop, an answer that ends inside one
    // goes out padded.
    virtual void EndHostField() {}
    virtual void EndAnswer() {}
    // The chip restarts: what the host had sent and no program took is lost.
    virtual void Restart() {}
};

enum eSimLineResult
{
    lrByte,
    lrTimeout,
    lrInterrupted,
};

class CSimLine
{
public:
    explicit CSimLine(CSimTranscript& transcript);
    ~CSimLine();
    CSimLine(const CSimLine&) = delete;
    CSimLine& operator=(const CSimLine&) = delete;

    // Creates the pty pair (raw, 9600 baud). False with the reason on failure.
    bool Open(CString* pError);
    void Close();
    CString GetSlavePath() const;

    // Rates. SetTargetRate is for the target's thread; the getters for any.
    void SetTargetRate(DWORD rate);
    DWORD GetTargetRate() const { return m_dwTargetRate.load(); }
    DWORD ReadHostRate() const;
    DWORD GetObservedHostRate() const { return m_dwObservedHostRate.load(); }
    void SetTolerance(DWORD percent) { m_dwTolerance = percent; }
    // Paces bytes to the line's real speed (10 bits a byte at the sender's rate).
    void SetThrottle(bool bThrottle) { m_bThrottle.store(bThrottle); }

    void SetPhase(eSimPhase phase) { m_ePhase.store(phase); }
    eSimPhase GetPhase() const { return m_ePhase.load(); }

    // Byte faults; their counts start again.
    void SetFaults(const CSimFaults& faults);

    // Waits at most timeoutMs (INFINITE: no limit) for the next byte from the
    // host. *pIntact is false when the byte was garbled on the way.
    eSimLineResult Receive(BYTE* pByte, bool* pIntact, DWORD timeoutMs);
    // Sends one byte to the host; false when interrupted.
    bool Send(BYTE byte);
    // Waits; false when interrupted.
    bool Delay(DWORD ms);
    // Throws away whatever the host sends (recorded as dropped) until
    // interrupted: what reaches a chip without power is lost.
    void DiscardUntilInterrupted();

    // From any thread: wakes the target's waits, which return "interrupted"
    // until ClearInterrupt, which the chip calls as it (re)starts.
    void Interrupt();
    void ClearInterrupt();
    bool IsInterrupted() const { return m_bInterrupted.load(); }

    // Attaches (or, with nullptr, detaches) the debug interface; any thread.
    void SetDebugPort(std::shared_ptr<CSimDebugPort> port);
    // Chip's thread: whether the last byte from the host came through the
    // debug interface, and the field and answer ends that matter only there.
    bool IsOnDebugPort() const { return m_bAnswerDebug; }
    // Whether the program the chip runs looks at its debug interface at all
    // (its kernels and its own program's loader do; its boot programs do not).
    void SetDebugServed(bool bServed) { m_bDebugServed.store(bServed); }
    void EndHostField();
    void EndAnswer();

    // For tests and the idle time-out.
    std::uint64_t GetHostBytesTaken() const { return m_qwHostBytesTaken.load(); }
    std::uint64_t GetTargetBytesSent() const { return m_qwTargetBytesSent.load(); }
    bool IsWaitingForInput() const { return m_bWaitingForInput.load(); }
    // Milliseconds since the last byte in either direction (or since Open).
    std::uint64_t GetIdleMilliseconds() const;
    // Quiet that long, waiting for input, and nothing written to it unread.
    bool IsQuiet(DWORD quietMs) const;

private:
    // Sleeps longer than kSpinAfter end with kSpinTail of watching the clock.
    static constexpr std::chrono::nanoseconds kSpinAfter{300000};
    static constexpr std::chrono::nanoseconds kSpinTail{60000};
    // How often the host's rate is looked at while the target waits.
    static constexpr int kRateWatchMs = 2;

    // A byte from the host, with the rates that may have been in force when
    // it was sent and when it became readable here.
    struct SInput
    {
        BYTE m_byte = 0;
        DWORD m_dwRates[2] = {0, 0};
        std::chrono::steady_clock::time_point m_written{};
    };

    struct ByteFault
    {
        BYTE flags = 0; // sfDropped, sfCorrupted or sfSuppressed
        bool bDelay = false;
        bool bDuplicate = false;
        DWORD delayMs = 0;
    };
    // The faults that strike the next byte of a direction in this phase.
    ByteFault NextFault(eSimDirection direction, eSimPhase phase, bool* pBecameMute);
    enum eTaken
    {
        tkByte,
        tkDropped, // lost on the way: the next one is due
        tkInterrupted,
    };
    // The next byte of the input, as the chip sees it, at its instant on the schedule.
    eTaken TakeHostByte(BYTE* pByte, bool* pIntact);
    // Waits a little for the host's bytes; false once the deadline has passed with none.
    bool AwaitInput(std::chrono::steady_clock::time_point deadline);
    bool WriteToHost(BYTE wire);
    bool Pump(int waitMs);
    // Takes in whatever the host has written, without waiting.
    bool ReadAvailable(DWORD before, DWORD now);
    bool TakeDebugByte(BYTE* pByte);
    std::shared_ptr<CSimDebugPort> DebugPort();
    void Observe(DWORD hostRate);
    bool SleepUntil(std::chrono::steady_clock::time_point when);
    void Touch();
    // Ten bit times, rounded up to the nanosecond.
    static std::chrono::nanoseconds ByteTime(DWORD rate);
    // Chip's thread: starts the schedule afresh when pacing was switched on.
    bool Paced();

    CSimTranscript& m_transcript;
    int m_nMaster = -1;
    int m_nSlave = -1; // held open so the master never sees a hang-up
    int m_nWake = -1;  // eventfd for Interrupt
    CString m_strSlavePath;

    std::atomic<DWORD> m_dwTargetRate{9600};
    std::atomic<DWORD> m_dwObservedHostRate{0};
    std::atomic<eSimPhase> m_ePhase{phIdle};
    std::atomic<bool> m_bInterrupted{false};
    std::atomic<bool> m_bWaitingForInput{false};
    std::atomic<std::uint64_t> m_qwHostBytesTaken{0};
    std::atomic<std::uint64_t> m_qwTargetBytesSent{0};
    std::atomic<std::int64_t> m_qwLastActivity{0};
    DWORD m_dwTolerance = 3;
    std::atomic<bool> m_bThrottle{false};

    // Bytes read from the master and not yet taken, with the host rates that
    // may have been in force when they were sent.
    std::vector<SInput> m_Input;
    std::size_t m_nInputPos = 0;

    std::mutex m_faultLock;
    CSimFaults m_Faults;
    std::uint64_t m_qwFaultHostCount = 0;
    std::uint64_t m_qwFaultTargetCount = 0;
    bool m_bMute = false;

    std::mutex m_debugLock;
    std::shared_ptr<CSimDebugPort> m_pDebugPort;
    bool m_bAnswerDebug = false;
    std::atomic<bool> m_bDebugServed{false};

    // The schedule (chip's thread only): the chip's own time, and when the
    // last byte each way had finished crossing.
    bool m_bPacing = false;
    std::chrono::steady_clock::time_point m_chipTime{};
    std::chrono::steady_clock::time_point m_rxEnd{};
    std::chrono::steady_clock::time_point m_txEnd{};
};
