// The direct connection sequences and the steps every sequence shares.
#include <vector>

#include "interface/FLASHGENInterface.h"
#include "operations/SettingsKeys.h"
#include "platform/File.h"
#include "platform/Time.h"
#include "programmer/FLASHProgrammer.h"

namespace {
CString BaudSettings(long nRate)
{
    CString text;
    text.Format("%ld,n,8,1", nRate);
    return text;
}
} // namespace

bool CFLASHProgrammer::OpenConnection(const char* pszConfiguration, bool bResetProgress)
{
    DisplayTaskMessage("Connecting to device '" + GetDeviceName() + "' on '" + m_strCommsPort + "'", 0);
    DisplayMessage("Configuration:", 0);
    DisplayMessage(pszConfiguration, 0);
    if (bResetProgress)
        GetProgress() = 0;
    return OpenComms();
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

bool CFLASHProgrammer::ConnectGENBootDirect()
{
    CSingleLock lock(m_pLock, true);
    CBusy busy(m_bBusy);
    if (!OpenConnection("'BOOT Mode' kernel already resident, connection direct to device", true))
        return false;
    m_pComms->Settings(BaudSettings(m_nBaudRate));
    if (m_pDevice && !StartDeviceKernel(ksBootResident, this))
        return false;
    if (m_bCancel)
        return true;
    return CompleteConnection();
}

bool CFLASHProgrammer::ConnectGENUserDirect()
{
    CSingleLock lock(m_pLock, true);
    CBusy busy(m_bBusy);
    if (!OpenConnection("'USER Mode' kernel already resident, connection direct to device", true))
        return false;
    m_pComms->Settings(BaudSettings(m_nBaudRate));
    if (m_pDevice && !StartDeviceKernel(ksUserResident, this))
        return false;
    if (m_bCancel)
        return true;
    GetProgress() = 100;
    m_bConnected = true;
    DisplayMessage("Found initialised device", 0);
    return CompleteConnection();
}

bool CFLASHProgrammer::ConnectGENUserMode()
{
    CSingleLock lock(m_pLock, true);
    CBusy busy(m_bBusy);
    if (!OpenConnection("'USER Mode', direct connection", false))
        return false;

    const CString command = Settings::PreVelkUserModeCommand.Read();
    if (!command.IsEmpty()) {
        DisplayMessage("Processing user specified command", 0);
        CString settings;
        settings.Format("%d,n,8,1", static_cast<int>(Settings::PreVelkUserModeCommandBaud.Read()));
        m_pComms->Settings(settings);
        DisplayMessage("Setting up comms : '" + settings + "'", 0);
        DisplayMessage("Sending command string : '" + command + "'", 0);
        CStatusForward forward(m_pComms, this, feDetach);
        m_pComms->WriteBytes(reinterpret_cast<const unsigned char*>(static_cast<const char*>(command)),
                             static_cast<unsigned long>(command.GetLength()), true);
        forward.End();
        const int nDelay = static_cast<int>(Settings::PreVelkUserModePostCommandDelay.Read());
        if (nDelay != 0) {
            CString wait;
            wait.Format("Waiting %d milliseconds", nDelay);
            DisplayMessage(wait, 0);
            Sleep(static_cast<DWORD>(nDelay));
        }
    }
    m_pComms->Settings("9600,n,8,1");

    CString changing;
    changing.Format("Changing baud rate to %ld bps", m_nBaudRate);
    DisplayMessage(changing, 0);
    if (!m_pInterface) {
        DisplayError("No programming interface for a 'USER Mode' connection", 0);
        return false;
    }
    {
        CStatusForward forward(m_pInterface, this, feDetach);
        unsigned char buffer[16] = {};
        if (!m_pInterface->ChangeBaud(static_cast<unsigned long>(m_nBaudRate), CFLASHInterface::kBootCode9600, buffer,
                                      m_pDeviceInfo ? m_pDeviceInfo->m_eBRRFormula : ctSimpleDivide)) {
            forward.End();
            if (m_bCancel)
                return true;
            CString failed;
            failed.Format("Failed to set baud rate to %ld", m_nBaudRate);
            DisplayError(failed, 15016);
            return false;
        }
    }
    if (m_bCancel)
        return true;
    if (!StartDeviceKernel(ksUserDownload, this))
        return false;
    if (m_bCancel)
        return true;
    return CompleteConnection();
}

bool CFLASHProgrammer::ConnectGENBootMode()
{
    CSingleLock lock(m_pLock, true);
    CBusy busy(m_bBusy);
    if (!OpenConnection("'BOOT Mode' connection - using emulated interface", true))
        return false;
    m_pComms->Settings(BaudSettings(m_nBaudRate));

    auto* pGEN = dynamic_cast<CFLASHGENInterface*>(m_pInterface);
    if (!pGEN) {
        DisplayError("No programming interface for a 'BOOT Mode' connection", 0);
        return false;
    }
    if (m_nBaudRate >= 9600)
        pGEN->m_dwHighestBootRate = 0;
    else if (m_nBaudRate == 4800 || m_nBaudRate == 2400 || m_nBaudRate == 1200)
        pGEN->m_dwHighestBootRate = static_cast<DWORD>(m_nBaudRate);

    {
        CStatusForward forward(m_pComms, this, feDetach);
        if (!m_pComms->UseAlternateComms(true, true))
            return false;
    }
    m_pComms->Settings("9600, n, 8, 1");
    GetProgress() += 10;

    unsigned char nBootCode = 0;
    bool bBooted = false;
    {
        CStatusForward forward(m_pInterface, this, feDetach);
        bBooted = m_pInterface->BootSCI(&nBootCode);
    }
    if (!bBooted && !m_bCancel)
        DisplayError("", 15024);
    if (m_bCancel)
        return true;
    if (!bBooted)
        return false;

    if (m_pDeviceInfo && m_pDeviceInfo->m_bBOOTModeAutoErase)
        m_bAutoErased = true;

    {
        CStatusForward forward(m_pInterface, this, feDetach);
        if (!DownloadMicroKernel())
            return false;
    }
    if (m_bCancel)
        return true;
    SetProgressString("Negotiating connection");
    GetProgress() += 30;
    if (m_bCancel)
        return true;

    CString changing;
    changing.Format("Changing baud rate to %ld bps", m_nBaudRate);
    DisplayMessage(changing, 0);
    {
        CStatusForward forward(m_pInterface, this, feDetach);
        unsigned char buffer[16] = {};
        const BaudCalcType formula = m_pDeviceInfo ? m_pDeviceInfo->m_eBRRFormula : ctSimpleDivide;
        const bool bChanged =
            m_nProtocol == 1
                ? m_pInterface->ChangeBaud_ProtocolB(static_cast<unsigned long>(m_nBaudRate), nBootCode, buffer,
                                                     formula, m_fFrequency, m_nCKPDivisor, m_nCKMDivisor)
                : m_pInterface->ChangeBaud(static_cast<unsigned long>(m_nBaudRate), nBootCode, buffer, formula);
        if (!bChanged) {
            forward.End();
            if (m_bCancel)
                return true;
            CString failed;
            failed.Format("Failed to set baud rate to %ld", m_nBaudRate);
            DisplayError(failed, 15016);
            return false;
        }
    }
    GetProgress() += 10;

    if (!m_pDevice)
        return false;
    {
        CStatusForward forward(m_pDevice, this, feDetach);
        if (!m_pDevice->Initialise())
            return false;
        if (m_bCancel)
            return true;
        const bool bKernel =
            m_nProtocol == 1 ? m_pDevice->DownloadBOOTModeKernel_ProtocolB() : m_pDevice->DownloadBOOTModeKernel();
        if (m_bCancel)
            return true;
        if (!bKernel)
            return false;
    }
    ClearBlockEraseList();
    if (m_bAutoErased) {
        GetProgress() = 100;
        m_bConnected = true;
        ReportConnectionComplete();
        return true;
    }
    return CompleteConnection();
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
