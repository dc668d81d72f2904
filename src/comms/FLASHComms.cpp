#include "comms/FLASHComms.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <utility>

#include "comms/PortRegistry.h"
#include "platform/SettingsKeys.h"
#include "platform/Time.h"

CCriticalSection CFLASHComms::m_csComms;

namespace {
// Pause after each byte written; shared by all channels, re-read at every Open.
std::atomic<bool> s_bSleepOnWrite{false};
std::atomic<int> s_nSleepTime{0};
std::atomic<int> s_nSleepCount{1};

constexpr DWORD kDefaultTimeout = 1500;
// How long a cancel may go unseen while waiting for a slow answer.
constexpr int kWaitSliceMs = 100;
// Keeps a deadline within the span a 32-bit tick count can compare.
constexpr int kMaxWaitSeconds = 2000000;

char* CopyName(const char* pszName)
{
    if (!pszName)
        return nullptr;
    const std::size_t n = std::strlen(pszName) + 1;
    char* copy = new char[n];
    std::memcpy(copy, pszName, n);
    return copy;
}

void ReadSleepSettings()
{
    s_bSleepOnWrite = ::Settings::SleepOnWrite.Read() != 0;
    // Stored as unsigned; "-1" in the file is meant as a negative number.
    s_nSleepTime = static_cast<int>(::Settings::SleepTime.Read());
    s_nSleepCount = static_cast<int>(::Settings::SleepCount.Read());
}

// Busy in this process or another: to the user it is the same message.
CString BusyText(const CString& name)
{
    CString busy;
    busy.Format("The communications port '%s' is currently connected", name.GetString());
    return busy;
}
} // namespace

CFLASHComms::CFLASHComms() : CFLASHComms(nullptr) {}

CFLASHComms::CFLASHComms(const char* pszPortName) : m_pszPortName(CopyName(pszPortName))
{
    m_dcb.DCBlength = sizeof(DCB);
}

CFLASHComms::~CFLASHComms()
{
    CSingleLock lock(&m_csComms, true);
    if (m_Status == psOpen) {
        SerialLine::SetTimeouts(m_hPort, m_SavedTimeouts);
        CFLASHComms::Close();
    }
    m_Status = psClosed;
    if (m_hPort != INVALID_PORT_HANDLE)
        CPortRegistry::Release(m_hPort);
    delete[] m_pszPortName;
    m_pszPortName = nullptr;
    CFLASHComms* pAlternate = nullptr;
    {
        std::lock_guard guard(m_alternateMutex);
        pAlternate = std::exchange(m_pAlternateComms, nullptr);
    }
    delete pAlternate;
}

bool CFLASHComms::Open(const char* pszPortName)
{
    CSingleLock lock(&m_csComms, true);
    ReadSleepSettings();

    // Input left from before is stale; what is still being sent (a cancelled
    // transfer's abort) must reach the chip.
    if (m_Status == psOpen) {
        SerialLine::PurgeInput(m_hPort);
        return true;
    }
    if (pszPortName) {
        char* copy = CopyName(pszPortName);
        delete[] m_pszPortName;
        m_pszPortName = copy;
    }
    const CString name = PortNameText();
    switch (ClaimRegisteredPort(name)) {
    case crClaimed:
        return true;
    case crInUse:
        return false;
    case crNotRegistered:
        break;
    }
    return OpenDevice(name) && ConfigureLine(name);
}

eClaimResult CFLASHComms::ClaimRegisteredPort(const CString& name)
{
    if (m_hPort != INVALID_PORT_HANDLE) {
        CString registered;
        if (!CPortRegistry::NameOf(m_hPort, registered) || registered != name) {
            CPortRegistry::Release(m_hPort);
            m_hPort = INVALID_PORT_HANDLE;
        }
    }
    int hRegistered = INVALID_PORT_HANDLE;
    const eClaimResult result = CPortRegistry::Claim(name, hRegistered);
    switch (result) {
    case crClaimed:
        m_hPort = hRegistered;
        m_Status = psOpen;
        m_bLineFailed = false;
        SerialLine::PurgeInput(m_hPort);
        break;
    case crInUse:
        DisplayError(BusyText(name), 15044);
        m_Status = psInUse;
        // "No handle" must not be a number another port could have.
        m_hPort = INVALID_PORT_HANDLE;
        break;
    case crNotRegistered:
        break;
    }
    return result;
}

bool CFLASHComms::OpenDevice(const CString& name)
{
    m_Status = psClosed;
    const CString path = SerialLine::MapPortName(name);
    m_hPort = SerialLine::Open(path);
    if (m_hPort == INVALID_PORT_HANDLE) {
        const int nError = errno;
        RecordSystemError(nError);
        if (nError == EBUSY) {
            // Held by another process: to the user it is the same busy port.
            DisplayError(BusyText(name), 15044);
            m_Status = psInUse;
            return false;
        }
        m_Status = psOpenFailed;
        DisplayError(SerialLine::DescribeOpenFailure(name, path, nError), 0);
        return false;
    }
    m_Status = psOpen;
    m_bLineFailed = false;
    CPortRegistry::Add(m_hPort, name);
    // Whatever an earlier user of the port left in flight is not ours.
    SerialLine::PurgeInput(m_hPort);
    m_txOnWire = {};
    return true;
}

bool CFLASHComms::ConfigureLine(const CString& name)
{
    // Adapters otherwise hold received bytes back for milliseconds, which
    // every turn-around of the protocol would pay.
    if (!SerialLine::SetLowLatency(m_hPort)) {
        CString text;
        text.Format("Low-latency mode not available on '%s' (%s): replies may be held back by the driver",
                    name.GetString(), std::strerror(errno));
        DisplayAdvancedMessage(text, 0);
    }

    // The terminal driver's queues have a fixed size of their own (at least
    // the 8192 bytes each way asked for elsewhere); there is nothing to set.

    if (!SerialLine::GetTimeouts(m_hPort, m_SavedTimeouts)) {
        RecordSystemError(errno);
        DisplayWarning("", 15002);
    }
    m_CurrentTimeouts.ReadIntervalTimeout = MAXDWORD;
    m_CurrentTimeouts.ReadTotalTimeoutMultiplier = 0;
    m_CurrentTimeouts.ReadTotalTimeoutConstant = kDefaultTimeout;
    m_CurrentTimeouts.WriteTotalTimeoutMultiplier = 0;
    m_CurrentTimeouts.WriteTotalTimeoutConstant = kDefaultTimeout;
    if (!SerialLine::SetTimeouts(m_hPort, m_CurrentTimeouts)) {
        RecordSystemError(errno);
        DisplayError("", 15003);
        return false;
    }
    return true;
}

bool CFLASHComms::Close()
{
    CSingleLock lock(&m_csComms, true);
    m_Status = psClosed;
    if (m_hPort != INVALID_PORT_HANDLE) {
        CPortRegistry::ClearInUse(m_hPort);
        CPortRegistry::Release(m_hPort);
        // Once the register has closed the handle, its number is free for the
        // next port opened anywhere in the process; keeping it would let a later
        // release hit that port.
        if (!CPortRegistry::IsRegistered(m_hPort))
            m_hPort = INVALID_PORT_HANDLE;
    }
    return true;
}

bool CFLASHComms::Settings(const char* pszSettings)
{
    CSingleLock lock(&m_csComms, true);
    if (::Settings::ChangeBaudRateTwice.Read() != 0) {
        CString dummy;
        dummy.Format("%s, n, 8, 1", ::Settings::DummyBaudRate.Read().GetString());
        m_dcb = DCB{};
        m_dcb.DCBlength = sizeof(DCB);
        if (!SerialLine::BuildDCB(dummy, m_dcb) || !SerialLine::SetState(m_hPort, m_dcb)) {
            const int nError = errno;
            DisplayError("Failed to set Dummy baud rate", 0);
            RecordSystemError(nError);
            return false;
        }
    }

    m_dcb = DCB{};
    m_dcb.DCBlength = sizeof(DCB);
    if (!SerialLine::BuildDCB(pszSettings, m_dcb)) {
        RecordSystemError(errno);
        return false;
    }
    // Whatever the text said: 8-N-1, binary, no flow control of any kind,
    // DTR and RTS held inactive.
    m_dcb.fBinary = 1;
    m_dcb.fParity = 0;
    m_dcb.fOutxCtsFlow = 0;
    m_dcb.fOutxDsrFlow = 0;
    m_dcb.fDsrSensitivity = 0;
    m_dcb.fOutX = 0;
    m_dcb.fInX = 0;
    m_dcb.fNull = 0;
    m_dcb.fDtrControl = DTR_CONTROL_DISABLE;
    m_dcb.fRtsControl = RTS_CONTROL_DISABLE;
    m_dcb.ByteSize = 8;
    m_dcb.Parity = NOPARITY;
    m_dcb.StopBits = ONESTOPBIT;
    if (!SerialLine::SetState(m_hPort, m_dcb)) {
        RecordSystemError(errno);
        return false;
    }
    m_dwEffectiveBaudRate = m_dcb.BaudRate;
    return true;
}

bool CFLASHComms::SetTimeouts(eTimeoutType type)
{
    int nRead = -1;
    int nWrite = -1;
    if (type == ttExtraLong)
        nRead = nWrite = 20000;
    if (type == ttWaitSlice)
        nRead = kWaitSliceMs;

    // Read time-outs that shrink as the line gets faster: rows by rate, columns
    // ttQuick, ttLong, ttSuperQuick.
    static const int kScaled[3][3] = {{55, 3000, 5}, {155, 3500, 5}, {400, 4000, 6}};
    const eTimeoutType column = type == ttQuickUnscaled ? ttQuick : type;
    const int nColumn = column == ttQuick ? 0 : column == ttLong ? 1 : column == ttSuperQuick ? 2 : -1;
    if (nColumn >= 0) {
        const int nRow = m_dwEffectiveBaudRate >= 115200 ? 0 : m_dwEffectiveBaudRate >= 38400 ? 1 : 2;
        nRead = kScaled[nRow][nColumn];
    }

    if (type != ttQuickUnscaled && type != ttWaitSlice && nRead != -1) {
        const unsigned long long scaled =
            static_cast<unsigned long long>(nRead) * ::Settings::GeneralMultiplier.Read();
        nRead = static_cast<int>(std::min<unsigned long long>(scaled, INT_MAX));
    }
    return SetTimeouts(nRead, nWrite);
}

bool CFLASHComms::SetTimeouts(int nReadTimeout, int nWriteTimeout)
{
    CSingleLock lock(&m_csComms, true);
    // Any negative value counts as "not given", not only -1.
    if (nReadTimeout < 0 && nWriteTimeout < 0) {
        m_CurrentTimeouts.ReadTotalTimeoutConstant = kDefaultTimeout;
        m_CurrentTimeouts.WriteTotalTimeoutConstant = kDefaultTimeout;
    } else {
        if (nReadTimeout >= 0)
            m_CurrentTimeouts.ReadTotalTimeoutConstant = static_cast<DWORD>(nReadTimeout);
        if (nWriteTimeout >= 0)
            m_CurrentTimeouts.WriteTotalTimeoutConstant = static_cast<DWORD>(nWriteTimeout);
    }
    if (!SerialLine::SetTimeouts(m_hPort, m_CurrentTimeouts)) {
        RecordSystemError(errno);
        DisplayError("", 15003);
        return false;
    }
    return true;
}

bool CFLASHComms::GetTimedResponse(unsigned char* pExpected, int nSeconds)
{
    if (m_bUseAlternate && m_pAlternateComms)
        return m_pAlternateComms->GetTimedResponse(pExpected, nSeconds);

    const auto reportNotOpen = [this] {
        CString text;
        text.Format("Port '%s' is not open", GetPortName());
        DisplayError(text, 0);
    };
    // Nothing can arrive on a closed port; waiting would only spin.
    if (GetStatus() != psOpen) {
        reportNotOpen();
        return false;
    }
    m_bCancel = false;
    m_bWaitCancelled = false;
    // Read in short slices so that a cancel ends the wait within one; the
    // caller finds the default time-outs in place afterwards.
    SetTimeouts(ttWaitSlice);
    struct SRestore
    {
        CFLASHComms* pComms;
        ~SRestore() { pComms->SetTimeouts(ttDefault); }
    } restore{this};
    const DWORD nSpan = static_cast<DWORD>(std::clamp(nSeconds, 0, kMaxWaitSeconds)) * 1000u + WireDelayMs();
    const DWORD nDeadline = GetTickCount() + nSpan;
    // Compared by difference so that a wrap of the tick count changes nothing.
    const auto before = [nDeadline] { return static_cast<std::int32_t>(GetTickCount() - nDeadline) < 0; };

    while (!m_bCancel && before()) {
        unsigned char nByte = 0;
        unsigned long nReceived = 0;
        if (ReadBytes(&nByte, 1, &nReceived, false) && nReceived == 1) {
            if (pExpected && nByte == *pExpected)
                return true;
            if (pExpected)
                *pExpected = nByte;
            return false;
        }
        // Silence goes round again; a line closed or dead meanwhile would only
        // fail again at once.
        if (GetStatus() != psOpen) {
            reportNotOpen();
            return false;
        }
        if (m_bLineFailed)
            return false;
    }
    if (m_bCancel) {
        m_bWaitCancelled = true;
        return true;
    }
    DisplayError("'" + PortNameText() + ":' read time out", 15005);
    return false;
}

bool CFLASHComms::WaitWasCancelled() const
{
    if (m_bUseAlternate && m_pAlternateComms)
        return m_pAlternateComms->WaitWasCancelled();
    return m_bWaitCancelled;
}

void CFLASHComms::DiscardInFlight()
{
    if (m_Status != psOpen)
        return;
    // Waits for what is on its way to stop coming (a chunk the target had
    // begun), then drops it, so the next command's answer is the first byte read.
    const COMMTIMEOUTS saved = m_CurrentTimeouts;
    SetTimeouts(ttQuick);
    unsigned char sink[256];
    unsigned long received = 0;
    for (int i = 0; i < 1000; ++i) {
        received = 0;
        ReadBytes(sink, sizeof sink, &received, false);
        if (received == 0)
            break;
    }
    SerialLine::PurgeInput(m_hPort);
    m_CurrentTimeouts = saved;
    SerialLine::SetTimeouts(m_hPort, m_CurrentTimeouts);
}

bool CFLASHComms::FlushBuffers()
{
    CSingleLock lock(&m_csComms, true);
    if (m_Status != psOpen)
        return false;
    m_txOnWire = {};
    if (!SerialLine::Purge(m_hPort)) {
        RecordSystemError(errno);
        return false;
    }
    return true;
}

ePortStatus CFLASHComms::GetStatus()
{
    return m_Status;
}

const char* CFLASHComms::GetPortName()
{
    return m_pszPortName ? m_pszPortName : "";
}

DWORD CFLASHComms::GetBaudRate()
{
    return m_dcb.BaudRate;
}

void CFLASHComms::SetPortName(const char* pszPortName)
{
    char* copy = CopyName(pszPortName);
    delete[] m_pszPortName;
    m_pszPortName = copy;
}

void CFLASHComms::Cancel()
{
    m_bCancel = true;
    if (m_bUseAlternate) {
        std::lock_guard guard(m_alternateMutex);
        if (m_pAlternateComms)
            m_pAlternateComms->Cancel();
    }
}

DWORD CFLASHComms::GetLastError()
{
    return m_dwLastError;
}

CString CFLASHComms::GetLastErrorText()
{
    return m_dwLastError ? CString(std::strerror(static_cast<int>(m_dwLastError))) : CString();
}

DWORD CFLASHComms::WireDelayMs() const
{
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(m_txOnWire - std::chrono::steady_clock::now());
    return left.count() > 0 ? static_cast<DWORD>(left.count()) : 0;
}

void CFLASHComms::ReportLineFailure(int nError)
{
    RecordSystemError(nError);
    // Once per opening: callers that keep trying a dead line need not repeat it.
    if (m_bLineFailed.exchange(true))
        return;
    const bool bGone = nError == EIO || nError == ENXIO || nError == ENODEV;
    CString text;
    text.Format(bGone ? "Serial port '%s' is no longer available: %s" : "Serial port '%s' failed: %s",
                GetPortName(), std::strerror(nError));
    DisplayError(text, 0);
}

bool CFLASHComms::ReadBytes(unsigned char* pBuffer, unsigned long nCount, unsigned long* pReceived, bool bSwap)
{
    if (m_Status != psOpen)
        return false;
    if ((!pBuffer && nCount > 0) || nCount > MAXDWORD) {
        RecordSystemError(EINVAL);
        return false;
    }
    DWORD nRead = 0;
    if (!SerialLine::Read(m_hPort, pBuffer, static_cast<DWORD>(nCount), nRead, WireDelayMs())) {
        ReportLineFailure(errno);
        return false;
    }
    // The swap works on the buffer whatever number of bytes arrived.
    if (bSwap && nCount == 2)
        std::swap(pBuffer[0], pBuffer[1]);
    else if (bSwap && nCount == 4)
        std::reverse(pBuffer, pBuffer + 4);
    if (pReceived) {
        *pReceived = nRead;
        return nRead == nCount;
    }
    if (nRead < nCount) {
        DisplayError("'" + PortNameText() + ":' read time out", 15005);
        return false;
    }
    return true;
}

bool CFLASHComms::WriteBytes(const unsigned char* pBuffer, unsigned long nCount, bool bSwap)
{
    if (m_Status != psOpen)
        return false;
    if (!pBuffer && nCount > 0) {
        RecordSystemError(EINVAL);
        return false;
    }
    const auto writeSome = [this](const unsigned char* p, unsigned long n) {
        DWORD nWritten = 0;
        const bool bDone = SerialLine::Write(m_hPort, p, static_cast<DWORD>(n), nWritten);
        // The bytes queue behind those still leaving and then take their own time.
        const auto now = std::chrono::steady_clock::now();
        m_txOnWire = std::max(m_txOnWire, now) + std::chrono::nanoseconds(SerialLine::ByteTimeNs(m_hPort) * nWritten);
        if (!bDone) {
            ReportLineFailure(errno);
            return false;
        }
        if (nWritten != n) {
            DisplayError("'" + PortNameText() + ":' write time out", 15004);
            return false;
        }
        return true;
    };

    if (nCount == 2 && bSwap) {
        const unsigned char swapped[2] = {pBuffer[1], pBuffer[0]};
        return writeSome(swapped, 2);
    }
    if (!(s_bSleepOnWrite && s_nSleepTime >= 0))
        return writeSome(pBuffer, nCount);
    for (unsigned long i = 0; i < nCount; ++i) {
        if (!writeSome(pBuffer + i, 1))
            return false;
        for (int k = 0; k < s_nSleepCount; ++k)
            Sleep(static_cast<DWORD>(s_nSleepTime));
    }
    return true;
}

bool CFLASHComms::WriteByte(unsigned char nByte)
{
    return WriteBytes(&nByte, 1, true);
}

void CFLASHComms::SetDeviceInfo(CDeviceInfo* pDeviceInfo)
{
    m_pDeviceInfo = pDeviceInfo;
}

bool CFLASHComms::UseAlternateComms(bool bUse, bool bRoute)
{
    if (bUse && m_pAlternateComms) {
        if (m_pAlternateComms->GetStatus() != psOpen && !m_pAlternateComms->Open(m_strAlternatePort)) {
            CString text;
            text.Format("Unable to open port '%s'", m_strAlternatePort.GetString());
            DisplayError(text, 0);
            return false;
        }
        if (!m_strAlternateSettings.IsEmpty())
            m_pAlternateComms->Settings(m_strAlternateSettings);
        m_pAlternateComms->SetTimeouts(m_AlternateTimeoutType);
    } else if (m_pAlternateComms) {
        m_pAlternateComms->Close();
    } else {
        return true;
    }
    if (bRoute || !bUse)
        m_bUseAlternate = bUse;
    return true;
}

void CFLASHComms::SetAlternateComms(CString strPortName)
{
    if (m_pAlternateComms) {
        if (m_strAlternatePort == strPortName)
            return;
        CFLASHComms* pOld = nullptr;
        {
            std::lock_guard guard(m_alternateMutex);
            pOld = std::exchange(m_pAlternateComms, nullptr);
        }
        delete pOld;
    }
    m_strAlternatePort = strPortName;
    auto* pAlternate = new CFLASHComms(strPortName);
    // Its reports travel with this channel's, to whoever this one reports to.
    pAlternate->SetStatusUpdate(this);
    std::lock_guard guard(m_alternateMutex);
    m_pAlternateComms = pAlternate;
}
