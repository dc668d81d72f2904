#include "interface/FLASHInterface.h"

#include <cmath>

#include "platform/WireFormat.h"

namespace {
// Rounds a non-negative value: an exact half goes down, as the micro-kernels expect.
unsigned long RoundHalfDown(double x)
{
    const double whole = std::trunc(x);
    unsigned long n = static_cast<unsigned long>(whole);
    if (x - whole > 0.5)
        ++n;
    return n;
}
} // namespace

DWORD CFLASHInterface::BootCodeRate(unsigned long code)
{
    switch (code) {
    case kBootCode1200: return 1200;
    case kBootCode2400: return 2400;
    case kBootCode4800: return 4800;
    case kBootCode9600: return 9600;
    case kBootCode19200: return 19200;
    default: return 0;
    }
}

CFLASHInterface::CFLASHInterface(CFLASHComms* pComms) : m_pComms(pComms) {}

bool CFLASHInterface::ResetTarget(bool) { return true; }

void CFLASHInterface::SetFLASHComms(CFLASHComms* pComms) { m_pComms = pComms; }

void CFLASHInterface::Cancel() { m_bCancel = true; }

bool CFLASHInterface::SetupSCIMax() { return true; }

bool CFLASHInterface::SetupSCIMin() { return true; }

bool CFLASHInterface::BootSCI(unsigned char*) { return true; }

bool CFLASHInterface::ChangeBaud(unsigned long, unsigned long, unsigned char*, BaudCalcType)
{
    if (m_pComms)
        m_pComms->WriteByte(0x00);
    return true;
}

bool CFLASHInterface::ChangeBaud_ProtocolB(unsigned long, unsigned long, unsigned char*, BaudCalcType, float, int,
                                           int)
{
    return true;
}

bool CFLASHInterface::Download(unsigned char*, unsigned long) { return true; }
bool CFLASHInterface::Enable12V(bool) { return true; }
bool CFLASHInterface::EnableMDx(bool) { return true; }
bool CFLASHInterface::EnableMDy(bool) { return true; }
bool CFLASHInterface::EnableVpp(bool) { return true; }
bool CFLASHInterface::GetVersion(unsigned short*) { return true; }
bool CFLASHInterface::GoTransparent(bool) { return true; }
bool CFLASHInterface::Initialise() { return true; }
bool CFLASHInterface::LoadCommand(unsigned char*, unsigned long) { return true; }
bool CFLASHInterface::ReadPort(unsigned short, unsigned char*) { return true; }
bool CFLASHInterface::Reset() { return true; }
bool CFLASHInterface::RunCommand() { return true; }
bool CFLASHInterface::SetReset(bool) { return true; }
bool CFLASHInterface::SetupSCI(unsigned char*, unsigned char*) { return true; }
bool CFLASHInterface::Status(unsigned char*) { return true; }
bool CFLASHInterface::WritePort(unsigned short, unsigned char*, unsigned char) { return true; }

void CFLASHInterface::SetDeviceInfo(CDeviceInfo* pDeviceInfo) { m_pDeviceInfo = pDeviceInfo; }

void CFLASHInterface::DetachComms()
{
    if (m_pComms)
        m_pComms->SetStatusUpdate(m_pComms);
}

bool CFLASHInterface::CalculateBRR(unsigned long nNewRate, unsigned long nPresentRate, BaudCalcType type,
                                   BYTE nReceived, BYTE* pBRR)
{
    double x = 0.0;
    switch (type) {
    case ::ctPavFormula:
    case ::ctLomFormula:
    case ::ctRivFormula: {
        const DWORD nOldRate = BootCodeRate(nPresentRate);
        if (nOldRate == 0 || nNewRate == 0)
            return false;
        // The clock the chip must run at for its BRR to give the boot rate.
        const double dClockMHz = (nReceived + 1.0) * (32.0 * nOldRate) / 1000000.0;
        x = dClockMHz * 1000000.0 / (static_cast<double>(nNewRate) * 32.0) - 1.0;
        break;
    }
    case ::ctSimpleDivide: {
        const DWORD nCodeRate = BootCodeRate(nPresentRate);
        const unsigned long nOldRate = nCodeRate ? nCodeRate : nPresentRate;
        if (nOldRate == 0)
            return false;
        const unsigned long nRatio = nNewRate / nOldRate;
        if (nRatio == 0)
            return false;
        x = static_cast<double>(nReceived) / static_cast<double>(nRatio);
        break;
    }
    default:
        *pBRR = nReceived;
        return true;
    }
    if (!(x >= 0.0))
        return false;
    const unsigned long n = RoundHalfDown(x);
    if (n > 0xFF)
        return false;
    *pBRR = static_cast<BYTE>(n);
    return true;
}

bool CFLASHInterface::PerformMicroKernelBaudChange(unsigned long nNewRate, unsigned long nPresentRate,
                                                   BaudCalcType type)
{
    if (!m_pComms)
        return false;
    m_pComms->SetStatusUpdate(this);
    BYTE nReceived = 0;
    if (!m_pComms->ReadBytes(&nReceived, 1, nullptr, true)) {
        DisplayError("", 15048);
        DetachComms();
        return false;
    }
    CString text;
    text.Format("BRR Received = %d", nReceived);
    DisplayAdvancedMessage(text, 0);
    if (nReceived == 0) {
        DisplayAdvancedMessage("", 15049);
        DetachComms();
        return false;
    }
    BYTE nBRR = 0;
    if (!CalculateBRR(nNewRate, nPresentRate, type, nReceived, &nBRR)) {
        // Nothing is sent: no register value gives the rate asked for.
        text.Format("No BRR value gives %lu baud from present rate %lu with formula %d (BRR received %d)", nNewRate,
                    nPresentRate, static_cast<int>(type), nReceived);
        DisplayError(text, 0);
        DetachComms();
        return false;
    }
    m_pComms->WriteByte(nBRR);
    text.Format("BRR Value = %d", nBRR);
    DisplayAdvancedMessage(text, 0);
    return true;
}

void CFLASHInterface::BuildProtocolBFrame(unsigned long nNewRate, float fFrequency, int nCKPDivisor, int nCKMDivisor,
                                          bool bAlternativeCommand, BYTE frame[kProtocolBFrameSize])
{
    const WORD nFrequency = static_cast<WORD>(RoundHalfDown(fFrequency));
    const WORD nRate = static_cast<WORD>(nNewRate / 100);
    frame[0] = bAlternativeCommand ? 0x7F : 0x3F;
    frame[1] = 0x07;
    WireFormat::PutBigEndian(nRate, 2, frame + 2);
    WireFormat::PutBigEndian(nFrequency, 2, frame + 4);
    frame[6] = 0x02;
    frame[7] = static_cast<BYTE>(nCKMDivisor & 0xFF);
    frame[8] = static_cast<BYTE>(nCKPDivisor & 0xFF);
    frame[kProtocolBFrameSize - 1] = WireFormat::SumCheck(WireFormat::AddToSum(0, frame, kProtocolBFrameSize - 1));
}

CString CFLASHInterface::ProtocolBErrorText(BYTE code)
{
    switch (code) {
    case 0x11: return "Sum check error";
    case 0x24: return "Unable setting baud rate error";
    case 0x25: return "Input clock error";
    case 0x26: return "Invalid mulitplication ratio error";
    case 0x27: return "Operating frequency error";
    default: return "Unknown error - Change baud rate";
    }
}

bool CFLASHInterface::PerformMicroKernelBaudChange_Protcol_B(unsigned long nNewRate, unsigned long, BaudCalcType,
                                                             float fFrequency, int nCKPDivisor, int nCKMDivisor,
                                                             bool bAlternativeCommand)
{
    if (!m_pComms)
        return false;
    // The frame carries both values in 16 bits; anything wider would be sent cut.
    if (!(fFrequency >= 0.0f) || RoundHalfDown(fFrequency) > 0xFFFF || nNewRate / 100 > 0xFFFF) {
        CString text;
        text.Format("Baud rate %lu or input clock %.3f cannot be sent to the boot program", nNewRate,
                    static_cast<double>(fFrequency));
        DisplayError(text, 0);
        return false;
    }
    BYTE frame[kProtocolBFrameSize];
    BuildProtocolBFrame(nNewRate, fFrequency, nCKPDivisor, nCKMDivisor, bAlternativeCommand, frame);
    for (BYTE nByte : frame)
        m_pComms->WriteByte(nByte);
    BYTE nAnswer = 0;
    if (!m_pComms->ReadBytes(&nAnswer, 1, nullptr, true))
        return false;
    if (nAnswer == 0x06)
        return true;
    if (nAnswer == 0xBF) {
        BYTE nCode = 0;
        if (m_pComms->ReadBytes(&nCode, 1, nullptr, true))
            DisplayAdvancedMessage(ProtocolBErrorText(nCode), 0);
        else
            DisplayAdvancedMessage("", 0);
    }
    return false;
}
