// The connection sequences through the Kivu board: the board switches the
// target's supplies, mode pins and reset, boots it and relays the link once
// transparent. Over the JTAG adapter the board is reached on its serial link
// beside the adapter, and the kernel itself over JTAG.
#include "operations/SettingsKeys.h"
#include "platform/Time.h"
#include "programmer/FLASHProgrammer.h"

namespace {

CString BaudSettings(long nRate)
{
    CString text;
    text.Format("%ld,n,8,1", nRate);
    return text;
}

// A board step that failed: the empty text stands for the catalogue message.
bool Step(CStatusUpdate& sink, bool bResult, WORD nId)
{
    if (!bResult)
        sink.DisplayError("", nId);
    return bResult;
}

// The user may stop after the board has switched the target's mode.
bool ContinueAfterModeSwitch(CStatusUpdate& sink, const char* pszQuestion)
{
    if (Settings::KivuCancelOnModeSwitch.Read() == 0)
        return true;
    return sink.QueryUser(pszQuestion, qtYesNo) != qtNo;
}

// Looking for a kernel that may well not be running: its absence is no error,
// so the device's complaints go on as advanced messages.
class CProbeSink : public CStatusUpdate
{
public:
    explicit CProbeSink(CStatusUpdate* pTarget) { SetStatusUpdate(pTarget); }
    void DisplayError(const CString& text, WORD nID) override { DisplayAdvancedMessage(text, nID); }
};

} // namespace

// A kernel still running from an earlier connection is taken over as it is:
// resetting the target would throw away what it was doing.
bool CFLASHProgrammer::FindInitialisedDevice(bool bUserMode)
{
    m_pComms->Settings(BaudSettings(m_nBaudRate));
    m_pComms->SetTimeouts(ttQuick);
    CProbeSink probe(this);
    if (!StartDeviceKernel(bUserMode ? ksUserResident : ksBootResident, &probe))
        return false;
    GetProgress() = 100;
    DisplayMessage("Found initialised device", 0);
    m_bConnected = true;
    bool bBlank = false;
    if (!BuildBlockEraseList() || !BlankCheck(&bBlank)) {
        m_bConnected = false;
        DisplayError("Unable to read device state - disconnecting", 15020);
    }
    if (m_bConnected) {
        GetProgress() = 100;
        ReportConnectionComplete();
    }
    return m_bConnected;
}

// Brings the channel to the board's link at 9600 baud.
bool CFLASHProgrammer::PrepareBoard(bool bUserMode, bool* pCancelled)
{
    m_pComms->Settings("9600, n, 8, 1");
    m_pComms->SetTimeouts(ttDefault);
    m_pComms->FlushBuffers();
    if (!bUserMode) {
        GetProgress() += 10;
    } else if (m_bCancel) {
        *pCancelled = true;
        return false;
    }
    CStatusForward forward(m_pComms, this, feDetach);
    return m_pComms->UseAlternateComms(true, true);
}

bool CFLASHProgrammer::ConnectKivuBootMode()
{
    CSingleLock lock(m_pLock, true);
    CBusy busy(m_bBusy);
    if (!OpenConnection("'BOOT Mode' connection using the Quarn Kivu", true))
        return false;
    if (FindInitialisedDevice(false))
        return true;
    if (!m_pInterface) {
        DisplayError("No programming interface for a connection using the Quarn Kivu", 0);
        return false;
    }
    bool bCancelled = false;
    if (!PrepareBoard(false, &bCancelled))
        return bCancelled;

    CStatusForward board(m_pInterface, this, feDetach);
    bool bOK = m_pInterface->SetupSCIMax();
    SetProgressString("Looking for interface...");
    bOK = bOK && Step(*this, m_pInterface->Reset(), 15021);
    if (bOK && !m_pInterface->SetReset(true)) {
        // Whether the board needs identifying again after a refused reset is
        // unknown; only its failure is worth telling.
        if (!m_pInterface->Initialise())
            DisplayError("", 15022);
        DisplayError("", 15023);
        bOK = false;
    }
    bOK = bOK && Step(*this, m_pInterface->Enable12V(true), 15011);
    bOK = bOK && Step(*this, m_pInterface->EnableVpp(true), 15012);
    bOK = bOK && Step(*this, m_pInterface->EnableMDx(true), 15013);
    bOK = bOK && Step(*this, m_pInterface->EnableMDy(true), 15014);
    bOK = bOK && Step(*this, m_pInterface->SetReset(false), 15023);
    if (bOK && !ContinueAfterModeSwitch(*this, "Device is now in BOOT Mode, continue connection?")) {
        m_pInterface->SetupSCIMin();
        return true;
    }
    unsigned char nBootCode = 0;
    bOK = bOK && Step(*this, m_pInterface->BootSCI(&nBootCode), 15024);
    if (!bOK) {
        board.End();
        if (m_pInterface->Reset()) {
            m_pInterface->SetupSCIMin();
            m_pInterface->Initialise();
        }
        return false;
    }

    if (m_pDeviceInfo && m_pDeviceInfo->m_bBOOTModeAutoErase)
        m_bAutoErased = true;

    if (!DownloadMicroKernel()) {
        m_pInterface->SetupSCIMin();
        return false;
    }
    if (m_bCancel)
        return true;
    SetProgressString("Negotiating connection");
    GetProgress() += 30;
    if (m_bCancel)
        return true;

    if (!m_pInterface->SetupSCIMin())
        return false;
    if (!Step(*this, m_pInterface->GoTransparent(true), 15015))
        return false;
    CString changing;
    changing.Format("Changing baud rate to %ld bps", m_nBaudRate);
    DisplayMessage(changing, 0);
    unsigned char work[16] = {};
    if (!m_pInterface->ChangeBaud(static_cast<unsigned long>(m_nBaudRate), nBootCode, work,
                                  m_pDeviceInfo ? m_pDeviceInfo->m_eBRRFormula : ctSimpleDivide)) {
        if (m_bCancel)
            return true;
        CString failed;
        failed.Format("Failed to set baud rate to %ld", m_nBaudRate);
        DisplayError(failed, 15016);
        return false;
    }
    if (!m_pInterface->GoTransparent(false))
        return false;
    board.End();

    GetProgress() += 10;
    if (!m_pDevice)
        return false;
    {
        CStatusForward forward(m_pDevice, this, feDetach);
        if (!m_pDevice->Initialise())
            return false;
        if (m_bCancel)
            return true;
        // The board's micro-kernel speaks the classic protocol only.
        const bool bKernel = m_pDevice->DownloadBOOTModeKernel();
        if (m_bCancel)
            return true;
        if (!bKernel)
            return false;
    }
    ClearBlockEraseList();
    GetProgress() = 100;
    m_bConnected = true;
    if (m_bAutoErased) {
        ReportConnectionComplete();
        return true;
    }
    return CompleteConnection();
}

bool CFLASHProgrammer::ConnectKivuUserMode()
{
    CSingleLock lock(m_pLock, true);
    CBusy busy(m_bBusy);
    if (!OpenConnection("'USER Mode', using Quarn Kivu", false))
        return false;
    if (FindInitialisedDevice(true))
        return true;
    if (!m_pInterface) {
        DisplayError("No programming interface for a connection using the Quarn Kivu", 0);
        return false;
    }
    bool bCancelled = false;
    if (!PrepareBoard(true, &bCancelled))
        return bCancelled;

    m_pComms->Settings("9600,n,8,1");
    bool bOK = false;
    {
        CStatusForward board(m_pInterface, this, feDetach);
        bOK = Step(*this, m_pInterface->Enable12V(true), 15011) && Step(*this, m_pInterface->EnableVpp(true), 15012);
        if (bOK && !m_pInterface->SetupSCIMin()) {
            DisplayError("Failed to set Kivu to 9600", 0);
            bOK = false;
        }
        bOK = bOK && Step(*this, m_pInterface->GoTransparent(false), 15015);
    }
    {
        CStatusForward forward(m_pComms, this, feDetach);
        m_pComms->UseAlternateComms(false, true);
    }
    if (!bOK)
        return false;
    if (!ContinueAfterModeSwitch(*this, "Device is now in USER Mode, continue connection?"))
        return true;
    Sleep(500);
    if (m_bCancel)
        return true;

    if (IsJTAG()) {
        // Wakes the target's debug link; the board stays out of it.
        CStatusForward forward(m_pComms, this, feDetach);
        m_pComms->WriteByte(0x00);
    } else {
        CString changing;
        changing.Format("Changing baud rate to %ld bps", m_nBaudRate);
        DisplayMessage(changing, 0);
        CStatusForward board(m_pInterface, this, feDetach);
        if (!m_pInterface->GoTransparent(false))
            return false;
    }
    if (m_bCancel)
        return true;
    if (!StartDeviceKernel(ksUserDownload, this))
        return false;
    return CompleteConnection();
}

// Types 4 and 7: a kernel is already running behind the board. Over JTAG it
// is reached without the board, so the board is never asked for anything.
bool CFLASHProgrammer::ConnectKivuResident(bool bUserMode)
{
    CSingleLock lock(m_pLock, true);
    CBusy busy(m_bBusy);
    if (m_pDevice && m_bConnected && m_pDevice->IsReallyConnected())
        return true;
    m_bConnected = false;
    if (!OpenConnection(bUserMode ? "'USER Mode' kernel already resident, using Quarn Kivu"
                                  : "'BOOT Mode' kernel already resident, using Quarn Kivu",
                        true))
        return false;
    if (!m_pDevice)
        return false;

    // A first look that a second attempt follows keeps its complaints quiet.
    auto kernelAnswers = [&](bool bQuiet) {
        CProbeSink probe(this);
        return StartDeviceKernel(bUserMode ? ksUserResident : ksBootResident,
                                 bQuiet ? static_cast<CStatusUpdate*>(&probe) : this);
    };
    auto found = [&] {
        GetProgress() = 100;
        m_bConnected = true;
        DisplayMessage("Found initialised device", 0);
        return CompleteConnection();
    };

    const bool bJTAG = IsJTAG();
    if (!bJTAG)
        m_pComms->Settings(BaudSettings(m_nBaudRate));
    if (kernelAnswers(!bJTAG))
        return found();
    if (m_bCancel)
        return true;

    // The board may not be relaying yet: ask it to, then try once more.
    if (m_pDevice->IsWrongKernel() || bJTAG)
        return false;
    if (!m_pInterface) {
        DisplayError("No programming interface for a connection using the Quarn Kivu", 0);
        return false;
    }
    m_pComms->Settings(BaudSettings(m_nBaudRate));
    {
        CStatusForward board(m_pInterface, this, feDetach);
        if (!Step(*this, m_pInterface->GoTransparent(false), 15015))
            return false;
    }
    m_pComms->Settings(BaudSettings(m_nBaudRate));
    if (kernelAnswers(false))
        return found();
    return false;
}

bool CFLASHProgrammer::ConnectKivuBootDirect()
{
    return ConnectKivuResident(false);
}

bool CFLASHProgrammer::ConnectKivuUserDirect()
{
    return ConnectKivuResident(true);
}
