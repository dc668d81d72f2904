// The connection sequences through the Kivu board: the board switches the
// target's supplies, mode pins and reset, boots it and relays the link once
// transparent. Over the JTAG adapter the board is reached on its serial link
// beside the adapter, and the kernel itself over JTAG.
#include "platform/SettingsKeys.h"
#include "platform/Time.h"
#include "programmer/FLASHProgrammer.h"

namespace {

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
    ApplyBaudRate();
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

bool CFLASHProgrammer::HasBoardInterface()
{
    if (!m_pInterface)
        DisplayError("No programming interface for a connection using the Quarn Kivu", 0);
    return m_pInterface != nullptr;
}

// Brings the channel to the board's link at 9600 baud.
auto CFLASHProgrammer::PrepareBoard(bool bUserMode) -> eStep
{
    m_pComms->Settings("9600, n, 8, 1");
    m_pComms->SetTimeouts(ttDefault);
    m_pComms->FlushBuffers();
    if (!bUserMode)
        GetProgress() += 10;
    else if (m_bCancel)
        return stDone;
    return NextIf(UseAlternateLine());
}

auto CFLASHProgrammer::SwitchBoardToBoot(unsigned char* pBootCode) -> eStep
{
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
        return stDone;
    }
    bOK = bOK && Step(*this, m_pInterface->BootSCI(pBootCode), 15024);
    if (bOK)
        return stNext;
    // The board's own recovery is no part of the connection's report.
    board.End();
    if (m_pInterface->Reset()) {
        m_pInterface->SetupSCIMin();
        m_pInterface->Initialise();
    }
    return stFailed;
}

// Past the micro-kernel download: the board back to 9600 and transparent,
// the micro-kernel's rate change through it, then the board out of the way.
auto CFLASHProgrammer::ChangeRateThroughBoard(unsigned char nBootCode) -> eStep
{
    CStatusForward board(m_pInterface, this, feDetach);
    if (!m_pInterface->SetupSCIMin())
        return stFailed;
    if (!Step(*this, m_pInterface->GoTransparent(true), 15015))
        return stFailed;
    const eStep changed = ChangeRate(nBootCode, false);
    if (changed != stNext)
        return changed;
    return NextIf(m_pInterface->GoTransparent(false));
}

bool CFLASHProgrammer::ConnectKivuBootMode()
{
    unsigned char nBootCode = 0;
    return RunSequence({
        [&] { return NextIf(OpenConnection("'BOOT Mode' connection using the Quarn Kivu", true)); },
        [&] { return FindInitialisedDevice(false) ? stDone : stNext; },
        [&] { return NextIf(HasBoardInterface()); },
        [&] { return PrepareBoard(false); },
        [&] { return SwitchBoardToBoot(&nBootCode); },
        [&] { return SendMicroKernel(true); },
        [&] { return ChangeRateThroughBoard(nBootCode); },
        // The board's micro-kernel speaks the classic protocol only.
        [&] { return StartBootKernel(false); },
        [&] { return Finished(CompleteBootConnection()); },
    });
}

// The channel goes back from the alternate port whatever the board did.
auto CFLASHProgrammer::SwitchBoardToUser() -> eStep
{
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
    return NextIf(bOK);
}

auto CFLASHProgrammer::ReachUserModeTarget() -> eStep
{
    if (IsJTAG()) {
        // Wakes the target's debug link; the board stays out of it.
        CStatusForward forward(m_pComms, this, feDetach);
        m_pComms->WriteByte(0x00);
        return stNext;
    }
    AnnounceRateChange();
    CStatusForward board(m_pInterface, this, feDetach);
    return NextIf(m_pInterface->GoTransparent(false));
}

bool CFLASHProgrammer::ConnectKivuUserMode()
{
    return RunSequence({
        [&] { return NextIf(OpenConnection("'USER Mode', using Quarn Kivu", false)); },
        [&] { return FindInitialisedDevice(true) ? stDone : stNext; },
        [&] { return NextIf(HasBoardInterface()); },
        [&] { return PrepareBoard(true); },
        [&] { return SwitchBoardToUser(); },
        [&] {
            return ContinueAfterModeSwitch(*this, "Device is now in USER Mode, continue connection?") ? stNext : stDone;
        },
        [&] {
            Sleep(500);
            return CancelPoint();
        },
        [&] { return ReachUserModeTarget(); },
        [&] { return CancelPoint(); },
        [&] { return NextIf(StartDeviceKernel(ksUserDownload, this)); },
        [&] { return Finished(CompleteConnection()); },
    });
}

// Types 4 and 7: a kernel is already running behind the board. Over JTAG it
// is reached without the board, so the board is never asked for anything.
bool CFLASHProgrammer::ConnectKivuResident(bool bUserMode)
{
    const eKernelStart start = bUserMode ? ksUserResident : ksBootResident;
    return RunSequence({
        [&] {
            if (m_pDevice && m_bConnected && m_pDevice->IsReallyConnected())
                return stDone;
            m_bConnected = false;
            return stNext;
        },
        [&] {
            return NextIf(OpenConnection(bUserMode ? "'USER Mode' kernel already resident, using Quarn Kivu"
                                                   : "'BOOT Mode' kernel already resident, using Quarn Kivu",
                                         true) &&
                          m_pDevice);
        },
        // A first look that a second attempt follows keeps its complaints quiet.
        [&] {
            if (!IsJTAG())
                ApplyBaudRate();
            CProbeSink probe(this);
            if (StartDeviceKernel(start, IsJTAG() ? static_cast<CStatusUpdate*>(this) : &probe))
                return Finished(CompleteResidentConnection());
            return CancelPoint();
        },
        // The board may not be relaying yet: ask it to, then try once more.
        [&] { return NextIf(!m_pDevice->IsWrongKernel() && !IsJTAG() && HasBoardInterface()); },
        [&] {
            ApplyBaudRate();
            CStatusForward board(m_pInterface, this, feDetach);
            return NextIf(Step(*this, m_pInterface->GoTransparent(false), 15015));
        },
        [&] {
            ApplyBaudRate();
            return Finished(StartDeviceKernel(start, this) && CompleteResidentConnection());
        },
    });
}

bool CFLASHProgrammer::ConnectKivuBootDirect()
{
    return ConnectKivuResident(false);
}

bool CFLASHProgrammer::ConnectKivuUserDirect()
{
    return ConnectKivuResident(true);
}
