// Ending a connection, with the optional reset through the board.
#include "platform/SettingsKeys.h"
#include "programmer/FLASHProgrammer.h"

namespace {
constexpr long kStandardRates[] = {115200, 57600, 38400, 19200, 9600, 4800, 2400, 1200};
constexpr unsigned char kBoardReady = 0x66;

// What the caller and the "DisconnectReset" setting together ask for.
struct SResetChoice
{
    bool bOffer = false; // ask the user
    bool bForce = false; // reset without asking
};

SResetChoice ResetChoice(int offerReset, int noReset)
{
    const unsigned nSetting = Settings::DisconnectReset.Read();
    SResetChoice choice{offerReset != 0, false};
    if (nSetting == 1) {
        choice.bForce = true;
    } else if (nSetting == 2) {
        choice.bOffer = false;
    }
    if (noReset)
        choice = {};
    return choice;
}
} // namespace

int CFLASHProgrammer::BoardSearchRates(long nBaudRate, long* pRates, int nMax)
{
    int n = 0;
    if (nBaudRate != 0 && n < nMax)
        pRates[n++] = nBaudRate;
    for (long nRate : kStandardRates) {
        if (nRate != nBaudRate && n < nMax)
            pRates[n++] = nRate;
    }
    return n;
}

bool CFLASHProgrammer::Disconnect(int offerReset, int noReset)
{
    CSingleLock lock(m_pLock, true);
    CStatusForward comms(m_pComms, this, feDetach);
    CStatusForward device(m_pDevice, this, feDetach);

    const SResetChoice choice = ResetChoice(offerReset, noReset);
    DisplayMessage("Disconnecting...", 0);

    const bool bWanted = choice.bOffer || choice.bForce;
    if (!bWanted || !IsBoardType(m_ConnectionType) || !m_pDevice || !m_pDevice->IsReallyConnected()) {
        if (m_pDevice)
            m_pDevice->Disconnect(false);
    } else {
        eQueryType answer = qtYes;
        if (!choice.bForce)
            answer = QueryUser("Would you like to reset the device?", qtYesNoCancel);
        if (answer == qtCancel)
            return true;
        if (answer != qtYes)
            m_pDevice->Disconnect(false);
        else if (!DisconnectWithReset())
            return false;
    }

    if (m_pComms)
        m_pComms->Close();
    if (m_pDevice)
        m_pDevice->InvalidateFunctionMap();
    comms.End();
    device.End();
    m_bConnected = false;
    OnPropertyChange();
    return true;
}

bool CFLASHProgrammer::DisconnectWithReset()
{
    if (!m_pComms->UseAlternateComms(true, false))
        return false;
    m_pDevice->Disconnect(true);
    m_pComms->UseAlternateComms(true, true);
    unsigned char reply = 0;
    const bool bFound = (m_pComms->ReadBytes(&reply, 1, nullptr, true) && reply == kBoardReady) || SearchForBoard();
    if (bFound && m_pInterface) {
        const bool bUser = m_ConnectionType == ctKivuUserMode || m_ConnectionType == ctKivuUserDirect;
        {
            CStatusForward board(m_pInterface, this, feDetach);
            m_pInterface->ResetTarget(bUser);
        }
        m_pComms->UseAlternateComms(false, true);
        if (m_pDevice->IsReallyConnected())
            DisplayWarning("Device did not reset!", 0);
    }
    return true;
}

bool CFLASHProgrammer::SearchForBoard()
{
    DisplayWarning("Invalid response received from the Kivu", 0);
    if (QueryUser("Would you like Velk to keep looking for the Kivu?", qtYesNo) != qtYes)
        return false;
    long rates[16];
    const int n = BoardSearchRates(m_nBaudRate, rates, 16);
    for (int i = 0; i < n; ++i) {
        CString text;
        text.Format("Attempting %d", static_cast<int>(rates[i]));
        DisplayMessage(text, 0);
        CString settings;
        settings.Format("%ld,n,8,1", rates[i]);
        m_pComms->Settings(settings);
        unsigned short nVersion = 0;
        if (m_pInterface && m_pInterface->GetVersion(&nVersion))
            return true;
        m_pComms->FlushBuffers();
    }
    DisplayWarning("Kivu not found!", 0);
    return false;
}
