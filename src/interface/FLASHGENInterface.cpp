#include "interface/FLASHGENInterface.h"

#include <algorithm>
#include <climits>

#include "devicedb/DeviceInfo.h"
#include "platform/SettingsKeys.h"
#include "platform/Time.h"
#include "platform/WireFormat.h"

namespace {
constexpr BYTE kFrameStart = 0xAA;
constexpr BYTE kFrameEnd = 0x55;
constexpr BYTE kLineOn = 0x00;
constexpr BYTE kLineOff = 0xFF;
constexpr BYTE kBootAcknowledge = 0xAA;
constexpr BYTE kEraseFailed = 0xFF;
constexpr int kMatchTries = 100;

int EraseTimeoutSeconds()
{
    return static_cast<int>(std::min<unsigned>(Settings::EraseTimeout.Read(), INT_MAX));
}
} // namespace

CFLASHGENInterface::CFLASHGENInterface(CFLASHComms* pComms) : CFLASHInterface(pComms) {}

bool CFLASHGENInterface::SetupSCIMax() { return true; }

bool CFLASHGENInterface::SetupSCIMin() { return true; }

BYTE CFLASHGENInterface::RateCode(unsigned long nRate)
{
    switch (nRate) {
    case 1200: return 0;
    case 2400: return 1;
    case 4800: return 2;
    case 9600: return 3;
    case 19200: return 4;
    case 38400: return 5;
    case 57600: return 6;
    case 115200: return 7;
    default: return 3;
    }
}

void CFLASHGENInterface::SendFrame(BYTE nCommand, const BYTE* pData, BYTE nLength, const char* pszAfterLength)
{
    m_pComms->WriteByte(kFrameStart);
    m_pComms->WriteByte(nCommand);
    m_pComms->WriteByte(nLength);
    if (pszAfterLength)
        DisplayAdvancedMessage(pszAfterLength, 0);
    for (BYTE i = 0; i < nLength; ++i)
        m_pComms->WriteByte(pData[i]);
    m_pComms->WriteByte(kFrameEnd);
}

bool CFLASHGENInterface::Response(unsigned char* pBuffer, unsigned char nExpected)
{
    BYTE nByte = 0;
    if (!m_pComms->ReadBytes(&nByte, 1, nullptr, false) || nByte != nExpected)
        return false;
    BYTE nLength = 0;
    m_pComms->ReadBytes(&nLength, 1, nullptr, false);
    for (BYTE i = 0; i < nLength; ++i) {
        BYTE nData = 0;
        m_pComms->ReadBytes(&nData, 1, nullptr, false);
        if (pBuffer)
            pBuffer[i] = nData;
    }
    BYTE nStatus = 0xFF;
    return m_pComms->ReadBytes(&nStatus, 1, nullptr, false) && nStatus == 0x00;
}

bool CFLASHGENInterface::EnableLine(BYTE nCommand, bool bEnable, const char* pszOn, const char* pszOff)
{
    if (!m_pComms)
        return false;
    CStatusForward attach(m_pComms, this, feRestore);
    const BYTE nData = bEnable ? kLineOn : kLineOff;
    SendFrame(nCommand, &nData, 1, bEnable ? pszOn : pszOff);
    return Response(nullptr, static_cast<BYTE>(0xE0 + nCommand));
}

bool CFLASHGENInterface::Enable12V(bool bEnable)
{
    return EnableLine(0x03, bEnable, "Enabling 12V supply", "Disabling 12V supply");
}

bool CFLASHGENInterface::EnableVpp(bool bEnable)
{
    return EnableLine(0x04, bEnable, "Enabling Vpp supply", "Disabling Vpp supply");
}

bool CFLASHGENInterface::EnableMDx(bool bEnable)
{
    return EnableLine(0x05, bEnable, "Enabling MDx", "Disabling MDx");
}

bool CFLASHGENInterface::EnableMDy(bool)
{
    // The adapter has no MDy line; the port write is a no-op unless a subclass adds one.
    unsigned char nValue = 0xDF;
    return WritePort(0xFFB3, &nValue, 1);
}

bool CFLASHGENInterface::GoTransparent(bool)
{
    if (!m_pComms)
        return false;
    CStatusForward attach(m_pComms, this, feRestore);
    DisplayAdvancedMessage("Setting the interface to transparent mode", 0);
    SendFrame(0x08, nullptr, 0, nullptr);
    return Response(nullptr, 0xE8);
}

bool CFLASHGENInterface::SetReset(bool bOn)
{
    if (!m_pComms)
        return false;
    CStatusForward attach(m_pComms, this, feRestore);
    const BYTE nCommand = bOn ? 0x0E : 0x0F;
    SendFrame(nCommand, nullptr, 0, nullptr);
    DisplayAdvancedMessage(bOn ? "Taking RESET line low (Reset On)" : "Taking RESET line high (Reset Off)", 0);
    return Response(nullptr, static_cast<BYTE>(0xE0 + nCommand));
}

bool CFLASHGENInterface::GetVersion(unsigned short* pVersion)
{
    if (pVersion)
        *pVersion = 0x6969;
    return true;
}

bool CFLASHGENInterface::BootSCI(unsigned char* pCode)
{
    struct SBootRate
    {
        DWORD nRate;
        const char* pszSettings;
        BYTE nCode;
    };
    static const SBootRate kRates[] = {
        {9600, "9600, n, 8, 1", kBootCode9600},
        {4800, "4800, n, 8, 1", kBootCode4800},
        {2400, "2400, n, 8, 1", kBootCode2400},
        {1200, "1200, n, 8, 1", kBootCode1200},
    };

    m_bCancel = false;
    if (!m_pComms || !pCode)
        return false;
    CStatusForward attach(m_pComms, this, feRestore);
    DisplayMessage("Initiating BOOT SCI sequence", 0);
    SetProgressString("Booting the device");
    for (const SBootRate& rate : kRates) {
        if (!m_pComms->Settings(rate.pszSettings))
            return false;
        if (m_dwHighestBootRate == 0)
            m_dwHighestBootRate = 9600;
        CString text;
        bool bAnswered = false;
        if (rate.nRate != 1200 && rate.nRate > m_dwHighestBootRate) {
            text.Format("Skipping %lu", static_cast<unsigned long>(rate.nRate));
            DisplayAdvancedMessage(text, 0);
        } else {
            text.Format("Attempting %lu", static_cast<unsigned long>(rate.nRate));
            DisplayAdvancedMessage(text, 0);
            bAnswered = ZeroTransmission();
        }
        if (bAnswered) {
            *pCode = rate.nCode;
            break;
        }
        if (m_bCancel || rate.nRate == 1200)
            return false;
    }
    if (m_bCancel)
        *pCode = 0;
    return true;
}

bool CFLASHGENInterface::ZeroTransmission()
{
    m_bCancel = false;
    if (!m_pComms)
        return false;
    CStatusForward attach(m_pComms, this, feRestore);
    m_pComms->SetTimeouts(ttSuperQuick);
    bool bMatched = false;
    int nTry = 0;
    for (; nTry < kMatchTries && !bMatched; ++nTry) {
        m_pComms->WriteByte(0x00);
        BYTE nByte = 0xFF;
        unsigned long nReceived = 0;
        m_pComms->ReadBytes(&nByte, 1, &nReceived, false);
        if (nReceived == 1 && nByte == 0x00) {
            bMatched = true;
        } else if (m_bCancel) {
            m_pComms->SetTimeouts(ttDefault);
            return true;
        }
    }
    if (!bMatched || !m_pComms->WriteByte(0x55)) {
        m_pComms->SetTimeouts(ttDefault);
        return false;
    }
    m_pComms->SetTimeouts(ttDefault);

    // A boot program that answered late, or answers every 0x00, still has
    // answers to the earlier 0x00 bytes on their way; 0x00 is never the
    // answer to 0x55, so as many as were sent are passed over.
    BYTE nAnswer = 0;
    unsigned long nReceived = 0;
    int nStale = nTry;
    do {
        nReceived = 0;
        m_pComms->ReadBytes(&nAnswer, 1, &nReceived, false);
    } while (nReceived == 1 && nAnswer == 0x00 && nStale-- > 0);
    if (nReceived == 1) {
        if (nAnswer == kBootAcknowledge)
            return true;
        if (nAnswer == kEraseFailed)
            DisplayWarning("Device failed to erase", 0);
        return false;
    }
    if (!m_pDeviceInfo || m_pDeviceInfo->m_bBOOTModeAutoErase == 0)
        return QueryUser("Device did not send Zentra acknowledge byte, ignore?", qtYesNo) == qtYes;
    return WaitForBootErase();
}

bool CFLASHGENInterface::WaitForBootErase()
{
    if (m_bCancel)
        return true;
    SetProgressString("Device is erasing...");
    for (;;) {
        if (m_bCancel) {
            m_pComms->SetTimeouts(ttDefault);
            return true;
        }
        BYTE nByte = kBootAcknowledge;
        if (m_pComms->GetTimedResponse(&nByte, EraseTimeoutSeconds())) {
            m_pComms->SetTimeouts(ttDefault);
            return true;
        }
        // The channel leaves the expected byte in place when nothing came.
        if (nByte == kBootAcknowledge) {
            if (QueryUser("The device has not confirmed its erasure, would you like to keep waiting?", qtYesNo) !=
                qtYes) {
                m_bCancel = true;
                return false;
            }
            continue;
        }
        if (nByte == kEraseFailed) {
            DisplayWarning("Device failed to erase", 0);
            return false;
        }
        CString text;
        text.Format("The device sent an unrecognised response, (0x%2.2x).\nWhat would you like to do", nByte);
        const eQueryType answer = QueryUser(text, qtAbortRetryIgnore);
        if (answer == qtAbort)
            return false;
        if (answer == qtIgnore)
            return true;
    }
}

bool CFLASHGENInterface::Download(unsigned char* pData, unsigned long nSize)
{
    m_bCancel = false;
    if (!m_pComms)
        return false;
    // The boot program takes a 16-bit size; a longer kernel cannot be sent whole.
    if ((!pData && nSize > 0) || nSize > 0xFFFF) {
        CString text;
        text.Format("The micro-Kernel (%lu bytes) is larger than the boot program can take (65535 bytes)", nSize);
        DisplayError(text, 0);
        return false;
    }
    CStatusForward attach(m_pComms, this, feRestore);
    const auto sizeBytes = WireFormat::BigEndian<2>(nSize);
    for (BYTE nSizeByte : sizeBytes) {
        m_pComms->WriteByte(nSizeByte);
        BYTE nEcho = 0;
        if (!m_pComms->ReadBytes(&nEcho, 1, nullptr, false) || nEcho != nSizeByte)
            return false;
    }

    bool bMismatch = false;
    for (unsigned long i = 0; i < nSize && !bMismatch && !m_bCancel; ++i) {
        GetProgress() = static_cast<DWORD>(i * 100 / nSize);
        m_pComms->WriteByte(pData[i]);
        BYTE nEcho = 0;
        if (!m_pComms->ReadBytes(&nEcho, 1, nullptr, false) || nEcho != pData[i])
            bMismatch = true;
    }

    if (!bMismatch && !m_bCancel && m_pDeviceInfo && m_pDeviceInfo->m_bBOOTModeAutoErase != 0) {
        SetProgressString("Device is erasing...");
        BYTE nByte = kBootAcknowledge;
        if (!m_pComms->GetTimedResponse(&nByte, EraseTimeoutSeconds())) {
            if (nByte == kBootAcknowledge) {
                DisplayError("", 15047);
            } else if (nByte == kEraseFailed) {
                DisplayError("Device failed to erase", 0);
            } else {
                CString text;
                text.Format("The device sent an unrecognised response, (0x%2.2x)", nByte);
                DisplayError(text, 0);
            }
            return false;
        }
    }
    if (m_bCancel)
        return true;
    if (bMismatch) {
        DisplayError("", 15009);
        return false;
    }
    DisplayMessage("micro-Kernel download successful", 0);
    return true;
}

bool CFLASHGENInterface::SetupSCI(unsigned char* pParameters, unsigned char*)
{
    static const char* const kSettings[] = {"1200,n,8,1",  "2400,n,8,1",  "4800,n,8,1",  "9600,n,8,1",
                                            "19200,n,8,1", "38400,n,8,1", "57600,n,8,1", "115200,n,8,1"};
    if (!m_pComms)
        return false;
    CStatusForward attach(m_pComms, this, feRestore);
    Sleep(5);
    if (pParameters && pParameters[1] < std::size(kSettings) && !m_pComms->Settings(kSettings[pParameters[1]]))
        return false;
    static const BYTE kCheck[4] = {0x01, 0x02, 0x03, 0x04};
    for (BYTE nByte : kCheck)
        m_pComms->WriteByte(nByte);
    for (BYTE nExpected : kCheck) {
        BYTE nEcho = 0;
        if (!m_pComms->ReadBytes(&nEcho, 1, nullptr, false) || nEcho != nExpected) {
            DisplayError("", 15010);
            return false;
        }
    }
    return true;
}

bool CFLASHGENInterface::ChangeBaud(unsigned long nNewRate, unsigned long nPresentRate, unsigned char* pBuffer,
                                    BaudCalcType type)
{
    if (!m_pComms)
        return false;
    CStatusForward attach(m_pComms, this, feRestore);
    if (!m_pComms->WriteByte(0x44) || !m_pComms->WriteByte(0x04))
        return false;
    if (!PerformMicroKernelBaudChange(nNewRate, nPresentRate, type))
        return false;
    unsigned char parameters[4] = {0x00, RateCode(nNewRate), 0x01, 0x00};
    return SetupSCI(parameters, pBuffer);
}

bool CFLASHGENInterface::ChangeBaud_ProtocolB(unsigned long nNewRate, unsigned long nPresentRate, unsigned char*,
                                              BaudCalcType type, float fFrequency, int nCKPDivisor, int nCKMDivisor)
{
    if (!m_pComms)
        return false;
    CStatusForward attach(m_pComms, this, feRestore);
    if (!PerformMicroKernelBaudChange_Protcol_B(nNewRate, nPresentRate, type, fFrequency, nCKPDivisor, nCKMDivisor,
                                                false))
        return false;
    CString settings;
    settings.Format("%lu,n,8,1", nNewRate);
    CString text;
    if (!m_pComms->Settings(settings)) {
        text.Format("Unable to set baud rate value = %lu", nNewRate);
        DisplayAdvancedMessage(text, 0);
        return false;
    }
    m_pComms->WriteByte(0x06);
    BYTE nAnswer = 0;
    const bool bConfirmed = m_pComms->ReadBytes(&nAnswer, 1, nullptr, false) && nAnswer == 0x06;
    text.Format(bConfirmed ? "Set baud rate value = %lu" : "Unable to set baud rate value = %lu", nNewRate);
    DisplayAdvancedMessage(text, 0);
    return bConfirmed;
}
