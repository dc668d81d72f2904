#pragma once
// The byte channel to the target over a serial port: 8 data bits, no parity,
// one stop bit, no flow control, DTR and RTS inactive. Callers ask for kinds
// of time-out, never for milliseconds. A port held by one channel object is
// busy to every other, in this process (the port register) and in others (an
// exclusive lock on the device).
//
// The JTAG channel derives from this class and replaces most of its virtual
// operations; the slot order below is the one it overrides.
#include <atomic>
#include <chrono>
#include <mutex>

#include "comms/PortRegistry.h"
#include "comms/SerialLine.h"
#include "platform/StatusUpdate.h"
#include "platform/String.h"
#include "platform/Sync.h"
#include "platform/Types.h"

class CDeviceInfo;

enum ePortStatus {
    psOpenFailed = 0, // the last attempt to open the port failed
    psClosed = 1,
    psOpen = 2,
    psInUse = 5,      // another channel object holds the port
};

enum eTimeoutType {
    ttQuick = 0,
    ttDefault = 1,
    ttLong = 2,
    ttExtraLong = 3,
    ttStandard = 4,
    ttSuperQuick = 5,
    ttQuickUnscaled = 6, // ttQuick without the "GeneralMultiplier" factor
    ttWaitSlice = 7,     // one slice of a long wait: a cancel is looked at between slices
};

class CFLASHComms : public CStatusUpdate
{
    ZF_DECLARE_DYNAMIC(CFLASHComms)
public:
    CFLASHComms();
    // The name is copied; null is allowed.
    explicit CFLASHComms(const char* pszPortName);
    CFLASHComms(const CFLASHComms&) = delete;
    CFLASHComms& operator=(const CFLASHComms&) = delete;
    ~CFLASHComms() override;

    virtual bool SetTimeouts(eTimeoutType type);

protected:
    // Read and write total time-outs in milliseconds; -1 leaves one as it is,
    // both -1 restore 1500/1500.
    virtual bool SetTimeouts(int nReadTimeout, int nWriteTimeout);

public:
    // Waits up to nSeconds for one byte. True when it is *pExpected, or when
    // cancelled; false with the byte stored in *pExpected when another came.
    virtual bool GetTimedResponse(unsigned char* pExpected, int nSeconds);
    // True when the last GetTimedResponse was ended by a cancel: the answer it
    // waited for is still owed by the target.
    bool WaitWasCancelled() const;
    virtual bool FlushBuffers();
    // After a cancelled transfer: lets the target's unfinished answer arrive
    // and drops it, keeping what this side still has to send.
    void DiscardInFlight();
    virtual ePortStatus GetStatus();
    // Never null: "" when no name is stored.
    virtual const char* GetPortName();
    virtual DWORD GetBaudRate();
    // Does not reopen.
    virtual void SetPortName(const char* pszPortName);
    virtual void Cancel();
    virtual bool Close();
    virtual DWORD GetLastError();
    // A null name keeps the stored one; an open channel only purges.
    virtual bool Open(const char* pszPortName = nullptr);
    // "9600,n,8,1" and the like: only the rate takes effect.
    virtual bool Settings(const char* pszSettings);
    // With pReceived, the number that arrived is stored there and a short read
    // fails without a report. bSwap reverses 2- and 4-byte values.
    virtual bool ReadBytes(unsigned char* pBuffer, unsigned long nCount, unsigned long* pReceived, bool bSwap);
    // bSwap sends a 2-byte value second byte first.
    virtual bool WriteBytes(const unsigned char* pBuffer, unsigned long nCount, bool bSwap);
    virtual bool WriteByte(unsigned char nByte);
    virtual void SetDeviceInfo(CDeviceInfo* pDeviceInfo);

    // (true, true) opens the alternate and routes to it, (false, true) closes
    // it and routes back, (true, false) opens it without routing.
    bool UseAlternateComms(bool bUse, bool bRoute);
    void SetAlternateComms(CString strPortName);

    // The recorded system error as text; empty when none is recorded.
    CString GetLastErrorText();

    // Serialises port configuration across all channel objects.
    static CCriticalSection m_csComms;

protected:
    // The name as given, for reports.
    CString PortNameText() const { return CString(m_pszPortName); }
    void RecordSystemError(int nError) { m_dwLastError = static_cast<DWORD>(nError); }
    // Reports a system call on the open line that failed (the device went away).
    void ReportLineFailure(int nError);
    // Milliseconds (rounded up) until the bytes written so far have left the
    // line: a reply cannot start before, so waits for one start after.
    DWORD WireDelayMs() const;

    std::atomic<bool> m_bUseAlternate{false};
    CFLASHComms* m_pAlternateComms = nullptr;
    CString m_strAlternatePort;
    CString m_strAlternateSettings;
    eTimeoutType m_AlternateTimeoutType = ttDefault;
    CDeviceInfo* m_pDeviceInfo = nullptr;
    std::atomic<bool> m_bCancel{false};
    bool m_bWaitCancelled = false;
    DWORD m_dwLastError = 0;
    DWORD m_dwEffectiveBaudRate = 0;
    char* m_pszPortName = nullptr;
    int m_hPort = INVALID_PORT_HANDLE;
    ePortStatus m_Status = psClosed;
    DCB m_dcb{};
    COMMTIMEOUTS m_CurrentTimeouts{};
    COMMTIMEOUTS m_SavedTimeouts{};
    // Set when a read or write on the open line failed in the system, so that
    // a waiting loop stops instead of retrying a dead line.
    std::atomic<bool> m_bLineFailed{false};
    // When the last byte written will have crossed the line, at its rate.
    std::chrono::steady_clock::time_point m_txOnWire{};

private:
    // The steps of Open: take over a handle this process registered for the
    // port, or open the device (exclusively), then set the line up.
    eClaimResult ClaimRegisteredPort(const CString& name);
    bool OpenDevice(const CString& name);
    bool ConfigureLine(const CString& name);

    // Guards the alternate pointer against a Cancel from another thread.
    std::mutex m_alternateMutex;
};
