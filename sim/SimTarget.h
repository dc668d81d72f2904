#pragma once
// The virtual target: a simulated Zentra chip on the master side of a pty pair.
// The host opens GetPortName() as its serial port.
//
// Load a definition, Start, talk to it, Stop. The chip runs on its own thread;
// everything public here is safe to call from any thread while it runs.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/String.h"
#include "platform/Types.h"
#include "sim/SimDefinition.h"
#include "sim/SimFaults.h"
#include "sim/SimKernelFile.h"
#include "sim/SimKivuBoard.h"
#include "sim/SimLine.h"
#include "sim/SimModel.h"
#include "sim/SimTranscript.h"

// What the chip is running.
enum eSimState
{
    ssStopped = 0,     // not started, or stopped
    ssPoweredOff,      // no power: deaf and silent
    ssBootProgram,     // the boot program (bit-rate matching, micro-kernel download)
    ssMicroKernel,     // the micro-kernel (baud change, main kernel download)
    ssUserProgram,     // the chip's own program with its USER-mode loader
    ssMainKernel,      // a BOOT-mode main kernel
    ssUserMainKernel,  // a USER-mode main kernel
    ssHalted,          // crashed or hung: deaf and silent until reset
    ssProtocolB,       // the Protocol B boot program's command loop (after the micro-kernel)
    ssHeldInReset,     // the board holds the reset line: deaf and silent
};

class CSimTarget
{
public:
    CSimTarget();
    ~CSimTarget();
    CSimTarget(const CSimTarget&) = delete;
    CSimTarget& operator=(const CSimTarget&) = delete;

    // Reads the definition and its [Simulator] section; overrides win over the
    // section. Only while stopped. False with the reason on bad input.
    bool Load(const CString& path, CString* pError, const CSimOverrides& overrides = {});
    // Creates the pty pair and powers the chip on in its start mode.
    bool Start(CString* pError = nullptr);
    void Stop();
    bool IsRunning() const { return m_thread.joinable(); }
    // The slave side of the pty: the host's serial port (the board's, when a
    // board sits in front of the chip).
    CString GetPortName() const;
    // The chip's own line, which the board talks to when there is one.
    CString GetChipPortName() const { return m_Line.GetSlavePath(); }
    // The Kivu board in front of the chip, while running with one; else null.
    CSimKivuBoard* GetBoard() { return m_pBoard.get(); }
    const CSimBoardSettings& GetBoardSettings() const { return m_BoardSettings; }
    const CSimDefinition& GetDefinition() const { return m_Definition; }

    // The model.
    eSimState GetState() const { return m_eState.load(); }
    static const char* StateName(eSimState state);
    std::vector<BYTE> GetFLASH() const { return m_Model.GetFLASH(); }
    bool LoadFLASH(DWORD address, const std::vector<BYTE>& data) { return m_Model.LoadFLASH(address, data); }
    std::vector<BYTE> GetRAM() const { return m_Model.GetRAM(); }
    std::vector<DWORD> GetEraseCounts() const { return m_Model.GetEraseCounts(); }
    DWORD GetTargetRate() const { return m_Line.GetTargetRate(); }
    DWORD GetHostRate() const { return m_Line.GetObservedHostRate(); }
    const CSimTranscript& GetTranscript() const { return m_Transcript; }
    // Called with every note, violation, refusal and fault as it happens.
    // The board's events too, when it has one.
    void SetEventListener(std::function<void(const CSimEvent&)> listener)
    {
        m_EventListener = listener;
        m_Transcript.SetEventListener(std::move(listener));
    }
    std::vector<CSimEvent> GetEvents(eSimEventKind kind) const { return m_Transcript.GetEvents(kind); }
    bool WriteTranscript(const CString& path, CString* pError) const;
    // The FLASH contents as a raw binary file.
    bool WriteDump(const CString& path, CString* pError) const;

    // Control.
    void SetFaults(const CSimFaults& faults);
    CSimFaults GetFaults() const;
    void SetThrottle(bool bThrottle);
    // Restarts the chip in its start mode; RAM keeps its contents.
    void Reset();
    void PowerOff();
    void PowerOn();
    // The board's pins: the mode the chip starts in from now on (BOOT or USER),
    // and the reset line (held: the chip stops; released: it starts again).
    void SetPinMode(eSimStartMode mode) { m_nPinMode = mode; }
    void HoldInReset(bool bHold);
    // How often the chip has started (power-on or reset), for the board that
    // watches it.
    DWORD GetStartCount() const { return m_dwStarts.load(); }

    // Poll-based waits for tests; false when the time-out passes first.
    bool WaitForState(eSimState state, DWORD timeoutMs) const;
    bool WaitForHostRate(DWORD rate, DWORD timeoutMs) const;
    // The chip is powered, out of reset and has started running something.
    bool WaitUntilRunning(DWORD timeoutMs) const;
    // The chip has taken this many bytes from the host and waits for more: it
    // has done everything those bytes asked for.
    bool WaitUntilIdle(std::uint64_t hostBytes, DWORD timeoutMs) const;
    // Nothing has crossed either line for quietMs and the chip waits for input:
    // whatever the host wrote last has been taken.
    bool WaitUntilQuiet(DWORD quietMs, DWORD timeoutMs) const;
    std::uint64_t GetHostBytesTaken() const { return m_Line.GetHostBytesTaken(); }
    std::uint64_t GetTargetBytesSent() const { return m_Line.GetTargetBytesSent(); }
    // Quiet time on the host's line and the chip's.
    std::uint64_t GetIdleMilliseconds() const
    {
        const std::uint64_t chip = m_Line.GetIdleMilliseconds();
        const std::uint64_t board = m_pBoard ? m_pBoard->GetIdleMilliseconds() : chip;
        return board < chip ? board : chip;
    }

    // For the chip's programs, on its own thread.
    CSimLine& Line() { return m_Line; }
    CSimModel& Model() { return m_Model; }
    const CSimDefinition& Definition() const { return m_Definition; }
    CSimFaults Faults() const { return GetFaults(); }
    const CSimKernelFile& MicroKernel() const { return m_MicroKernel; }
    const CSimKernelFile& MainKernel() const { return m_MainKernel; }
    const CSimKernelFile& UserMainKernel() const { return m_UserMainKernel; }
    // Module files by function-map entry: 0 write, 1 erase, 2 read, 3 check blank.
    const CSimKernelFile& Module(int entry) const { return m_Modules[entry]; }
    void SetState(eSimState state);
    void SetMainKernelSize(DWORD size) { m_dwMainKernelSize = size; }
    DWORD GetMainKernelSize() const { return m_dwMainKernelSize; }
    void Event(eSimEventKind kind, const char* pszFormat, ...) __attribute__((format(printf, 3, 4)));
    // 1-based numbers of erase commands, write commands and write chunks since
    // the faults were set.
    DWORD NextEraseNumber() { return ++m_dwEraseCount; }
    DWORD NextWriteNumber() { return ++m_dwWriteCount; }
    DWORD NextWriteChunkNumber() { return ++m_dwWriteChunkCount; }
    DWORD NextStatusNumber() { return ++m_dwStatusCount; }
    DWORD NextReadAckNumber() { return ++m_dwReadAckCount; }
    DWORD NextReadReplyNumber() { return ++m_dwReadReplyCount; }
    // The kernel's reading of FLASH bytes for the host, with the read fault
    // ("Flip Read Bit") applied: the cell reads wrong, the line cannot tell.
    void DisturbRead(DWORD address, std::vector<BYTE>* pData);

private:
    enum eRequest
    {
        rqStop = 1,
        rqReset = 2,
        rqPowerOff = 4,
        rqPowerOn = 8,
    };

    void Request(int request);
    void ThreadMain();
    void RunFromStart();
    eSimStartMode StartMode() const;
    bool InstallResidentKernel(bool bUser);

    CSimDefinition m_Definition;
    CSimModel m_Model;
    CSimTranscript m_Transcript;
    CSimLine m_Line;
    CSimKernelFile m_MicroKernel;
    CSimKernelFile m_MainKernel;
    CSimKernelFile m_UserMainKernel;
    CSimKernelFile m_Modules[4];

    mutable std::mutex m_faultLock;
    CSimFaults m_Faults;
    std::atomic<DWORD> m_dwEraseCount{0};
    std::atomic<DWORD> m_dwWriteCount{0};
    std::atomic<DWORD> m_dwWriteChunkCount{0};
    std::atomic<DWORD> m_dwStatusCount{0};
    std::atomic<DWORD> m_dwReadAckCount{0};
    std::atomic<DWORD> m_dwReadReplyCount{0};
    std::atomic<DWORD> m_dwReadByteCount{0};

    std::atomic<eSimState> m_eState{ssStopped};
    std::atomic<int> m_nRequests{0};
    DWORD m_dwMainKernelSize = 0;
    bool m_bLoaded = false;
    std::thread m_thread;

    CSimBoardSettings m_BoardSettings;
    std::unique_ptr<CSimKivuBoard> m_pBoard;
    std::function<void(const CSimEvent&)> m_EventListener;
    std::atomic<int> m_nPinMode{-1}; // -1: the definition's start mode
    std::atomic<bool> m_bHeldInReset{false};
    std::atomic<DWORD> m_dwStarts{0};
};
