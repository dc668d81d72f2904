// The direct connection sequences and the steps every sequence shares.
#include <vector>

#include "interface/FLASHGENInterface.h"
#include "platform/File.h"
#include "platform/SettingsKeys.h"
#include "platform/Time.h"
#include "programmer/FLASHProgrammer.h"

bool CFLASHProgrammer::RunSequence(std::initializer_list<ConnectStep> steps)
{
    CSingleLock lock(m_pLock, true);
    CBusy busy(m_bBusy);
    for (const ConnectStep& step : steps) {
        const eStep outcome = step();
        if (outcome != stNext)
            return outcome == stDone;
    }
    return true;
}

bool CFLASHProgrammer::OpenConnection(const char* pszConfiguration, bool bResetProgress)
{
    DisplayTaskMessage("Connecting to device '" + GetDeviceName() + "' on '" + m_strCommsPort + "'", 0);
    DisplayMessage("Configuration:", 0);
    DisplayMessage(pszConfiguration, 0);
    if (bResetProgress)
        GetProgress() = 0;
    return OpenComms();
}

void CFLASHProgrammer::ApplyBaudRate()
{
    CString text;
    text.Format("%ld,n,8,1", m_nBaudRate);
    m_pComms->Settings(text);
}

bool CFLASHProgrammer::UseAlternateLine()
{
    CStatusForward forward(m_pComms, this, feDetach);
    return m_pComms->UseAlternateComms(true, true);
}

auto CFLASHProgrammer::PrepareBootProgram() -> eStep
{
    ApplyBaudRate();
    auto* pGEN = dynamic_cast<CFLASHGENInterface*>(m_pInterface);
    if (!pGEN) {
        DisplayError("No programming interface for a 'BOOT Mode' connection", 0);
        return stFailed;
    }
    if (m_nBaudRate >= 9600)
        pGEN->m_dwHighestBootRate = 0;
    else if (m_nBaudRate == 4800 || m_nBaudRate == 2400 || m_nBaudRate == 1200)
        pGEN->m_dwHighestBootRate = static_cast<DWORD>(m_nBaudRate);
    if (!UseAlternateLine())
        return stFailed;
    m_pComms->Settings("9600, n, 8, 1");
    GetProgress() += 10;
    return stNext;
}

auto CFLASHProgrammer::BootHandshake(unsigned char* pBootCode) -> eStep
{
    bool bBooted = false;
    {
        CStatusForward forward(m_pInterface, this, feDetach);
        bBooted = m_pInterface->BootSCI(pBootCode);
    }
    if (!bBooted && !m_bCancel)
        DisplayError("", 15024);
    if (m_bCancel)
        return stDone;
    return NextIf(bBooted);
}

auto CFLASHProgrammer::SendMicroKernel(bool bBoard) -> eStep
{
    // The boot program erased the whole FLASH as it started.
    if (m_pDeviceInfo && m_pDeviceInfo->m_bBOOTModeAutoErase)
        m_bAutoErased = true;
    {
        // Restores: a board sequence may already route the interface here.
        CStatusForward forward(m_pInterface, this, feRestore);
        if (!DownloadMicroKernel()) {
            if (bBoard)
                m_pInterface->SetupSCIMin();
            return stFailed;
        }
    }
    if (m_bCancel)
        return stDone;
    SetProgressString("Negotiating connection");
    GetProgress() += 30;
    return CancelPoint();
}

bool CFLASHProgrammer::DownloadMicroKernel()
{
    const CString entry = m_pDeviceInfo ? m_pDeviceInfo->m_strMicroKernel : CString();
    const CString path = m_pDeviceInfo ? m_pDeviceInfo->ResolvePath(entry) : entry;
    CFile file;
    if (path.IsEmpty() || !file.Open(path, CFile::modeRead | CFile::shareDenyWrite)) {
        CString missing;
        missing.Format("Unable to locate micro-Kernel '%s'", static_cast<const char*>(entry));
        DisplayError(missing, 15018);
        return false;
    }
    DisplayMessage("Using micro-Kernel : '" + entry + "'", 0);
    const long long nLength = file.GetLength();
    std::vector<unsigned char> buffer(nLength > 0 ? static_cast<size_t>(nLength) : 0);
    const UINT nRead = buffer.empty() ? 0 : file.Read(buffer.data(), static_cast<UINT>(buffer.size()));
    file.Close();
    if (nRead == buffer.size() && m_pInterface->Download(buffer.data(), static_cast<unsigned long>(nRead)))
        return true;
    if (m_bCancel)
        return true;
    DisplayError("", 15019);
    return false;
}

void CFLASHProgrammer::AnnounceRateChange()
{
    CString changing;
    changing.Format("Changing baud rate to %ld bps", m_nBaudRate);
    DisplayMessage(changing, 0);
}

auto CFLASHProgrammer::ChangeRate(unsigned char nBootCode, bool bProtocolB) -> eStep
{
    AnnounceRateChange();
    // Only a USER-mode connection gets this far without one.
    if (!m_pInterface) {
        DisplayError("No programming interface for a 'USER Mode' connection", 0);
        return stFailed;
    }
    bool bChanged = false;
    {
        CStatusForward forward(m_pInterface, this, feRestore);
        unsigned char buffer[16] = {};
        const BaudCalcType formula = m_pDeviceInfo ? m_pDeviceInfo->m_eBRRFormula : ctSimpleDivide;
        const auto nRate = static_cast<unsigned long>(m_nBaudRate);
        bChanged = bProtocolB ? m_pInterface->ChangeBaud_ProtocolB(nRate, nBootCode, buffer, formula, m_fFrequency,
                                                                   m_nCKPDivisor, m_nCKMDivisor)
                              : m_pInterface->ChangeBaud(nRate, nBootCode, buffer, formula);
    }
    if (bChanged)
        return stNext;
    if (m_bCancel)
        return stDone;
    CString failed;
    failed.Format("Failed to set baud rate to %ld", m_nBaudRate);
    DisplayError(failed, 15016);
    return stFailed;
}

auto CFLASHProgrammer::StartBootKernel(bool bProtocolB) -> eStep
{
    GetProgress() += 10;
    if (!m_pDevice)
        return stFailed;
    CStatusForward forward(m_pDevice, this, feDetach);
    if (!m_pDevice->Initialise())
        return stFailed;
    if (m_bCancel)
        return stDone;
    const bool bKernel =
        bProtocolB ? m_pDevice->DownloadBOOTModeKernel_ProtocolB() : m_pDevice->DownloadBOOTModeKernel();
    if (m_bCancel)
        return stDone;
    return NextIf(bKernel);
}

bool CFLASHProgrammer::StartDeviceKernel(eKernelStart start, CStatusUpdate* pSink)
{
    if (!m_pDevice)
        return false;
    CStatusForward forward(m_pDevice, pSink, feDetach);
    if (!m_pDevice->Initialise())
        return false;
    bool bKernel = false;
    switch (start) {
    case ksBootResident: bKernel = m_pDevice->InitialiseBOOTModeKernel(); break;
    case ksUserResident: bKernel = m_pDevice->InitialiseUSERModeKernel(); break;
    case ksUserDownload: bKernel = m_pDevice->DownloadUSERModeKernel(); break;
    }
    return bKernel && m_pDevice->IsReallyConnected();
}

void CFLASHProgrammer::ReportConnectionComplete()
{
    CString text;
    text.LoadString(15056);
    SetProgressString(text);
    DisplaySuccessMessage("", 15056);
}

bool CFLASHProgrammer::CompleteConnection()
{
    GetProgress() = 100;
    m_bConnected = true;
    bool bBlank = false;
    const bool bResult = BuildBlockEraseList() && BlankCheck(&bBlank);
    if (bResult)
        ReportConnectionComplete();
    return bResult;
}

bool CFLASHProgrammer::CompleteBootConnection()
{
    ClearBlockEraseList();
    if (!m_bAutoErased)
        return CompleteConnection();
    GetProgress() = 100;
    m_bConnected = true;
    ReportConnectionComplete();
    return true;
}

bool CFLASHProgrammer::CompleteResidentConnection()
{
    GetProgress() = 100;
    m_bConnected = true;
    DisplayMessage("Found initialised device", 0);
    return CompleteConnection();
}

bool CFLASHProgrammer::ConnectGENResident(bool bUserMode)
{
    return RunSequence({
        [&] {
            return NextIf(OpenConnection(bUserMode ? "'USER Mode' kernel already resident, connection direct to device"
                                                   : "'BOOT Mode' kernel already resident, connection direct to device",
                                         true));
        },
        [&] {
            ApplyBaudRate();
            return NextIf(!m_pDevice || StartDeviceKernel(bUserMode ? ksUserResident : ksBootResident, this));
        },
        [&] { return CancelPoint(); },
        [&] { return Finished(bUserMode ? CompleteResidentConnection() : CompleteConnection()); },
    });
}

bool CFLASHProgrammer::ConnectGENBootDirect()
{
    return ConnectGENResident(false);
}

bool CFLASHProgrammer::ConnectGENUserDirect()
{
    return ConnectGENResident(true);
}

namespace {
// Sends the settings' text to the program running on the target, which is
// expected to start its USER-mode loader on it.
void SendUserCommand(CStatusUpdate& sink, CFLASHComms& comms)
{
    const CString command = Settings::PreVelkUserModeCommand.Read();
    if (command.IsEmpty())
        return;
    sink.DisplayMessage("Processing user specified command", 0);
    CString settings;
    settings.Format("%d,n,8,1", static_cast<int>(Settings::PreVelkUserModeCommandBaud.Read()));
    comms.Settings(settings);
    sink.DisplayMessage("Setting up comms : '" + settings + "'", 0);
    sink.DisplayMessage("Sending command string : '" + command + "'", 0);
    {
        CStatusForward forward(&comms, &sink, feDetach);
        comms.WriteBytes(reinterpret_cast<const unsigned char*>(static_cast<const char*>(command)),
                         static_cast<unsigned long>(command.GetLength()), true);
    }
    const int nDelay = static_cast<int>(Settings::PreVelkUserModePostCommandDelay.Read());
    if (nDelay != 0) {
        CString wait;
        wait.Format("Waiting %d milliseconds", nDelay);
        sink.DisplayMessage(wait, 0);
        Sleep(static_cast<DWORD>(nDelay));
    }
}
} // namespace

bool CFLASHProgrammer::ConnectGENUserMode()
{
    return RunSequence({
        [&] { return NextIf(OpenConnection("'USER Mode', direct connection", false)); },
        [&] {
            SendUserCommand(*this, *m_pComms);
            m_pComms->Settings("9600,n,8,1");
            return stNext;
        },
        // The USER-mode program changes rate the classic way, whatever the protocol.
        [&] { return ChangeRate(CFLASHInterface::kBootCode9600, false); },
        [&] { return CancelPoint(); },
        [&] { return NextIf(StartDeviceKernel(ksUserDownload, this)); },
        [&] { return CancelPoint(); },
        [&] { return Finished(CompleteConnection()); },
    });
}

bool CFLASHProgrammer::ConnectGENBootMode()
{
    unsigned char nBootCode = 0;
    return RunSequence({
        [&] { return NextIf(OpenConnection("'BOOT Mode' connection - using emulated interface", true)); },
        [&] { return PrepareBootProgram(); },
        [&] { return BootHandshake(&nBootCode); },
        [&] { return SendMicroKernel(false); },
        [&] { return ChangeRate(nBootCode, m_nProtocol == 1); },
        [&] { return StartBootKernel(m_nProtocol == 1); },
        [&] { return Finished(CompleteBootConnection()); },
    });
}
