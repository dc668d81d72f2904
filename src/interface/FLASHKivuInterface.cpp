#include "interface/FLASHKivuInterface.h"

#include <algorithm>
#include <climits>
#include <iterator>

#include "devicedb/DeviceInfo.h"
#include "platform/SettingsKeys.h"
#include "platform/Time.h"
#include "platform/WireFormat.h"

namespace {
constexpr BYTE kFrameStart = 0xAA;
constexpr BYTE kFrameEnd = 0x55;
constexpr BYTE kAnswerBase = 0xE0;
constexpr BYTE kLineOn = 0x00;
constexpr BYTE kLineOff = 0xFF;
constexpr BYTE kReady = 0x44;       // "D"
constexpr BYTE kDone = 0x4B;        // "K"
constexpr BYTE kTransparentExit = 0x66;
constexpr BYTE kBootEraseFailed = 0xFF;
constexpr unsigned long kBlockSize = 128;
constexpr int kPModePolls = 100;

enum : BYTE {
    kcIdentify = 0x00,
    kcStatus = 0x01,
    kcReset = 0x02,
    kc12V = 0x03,
    kcVpp = 0x04,
    kcMDx = 0x05,
    kcBoot = 0x06,
    kcDownload = 0x07,
    kcTransparent = 0x08,
    kcSetupSCI = 0x09,
    kcReadPort = 0x0A,
    kcWritePort = 0x0B,
    kcLoadCommand = 0x0C,
    kcRunCommand = 0x0D,
    kcResetOn = 0x0E,
    kcResetOff = 0x0F,
};

// Rate code n of the SCI set-up stands for kRates[n].
constexpr unsigned long kRates[] = {1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200};
constexpr const char* kRateSettings[] = {"1200,n,8,1",  "2400,n,8,1",  "4800,n,8,1",  "9600,n,8,1",
                                         "19200,n,8,1", "38400,n,8,1", "57600,n,8,1", "115200,n,8,1"};
constexpr BYTE kRateCode9600 = 3;
constexpr BYTE kRateCode38400 = 5;
constexpr BYTE kRateCode115200 = 7;

BYTE RateCode(unsigned long nRate)
{
    const auto* it = std::find(std::begin(kRates), std::end(kRates), nRate);
    return it == std::end(kRates) ? kRateCode9600 : static_cast<BYTE>(it - std::begin(kRates));
}

int EraseTimeoutSeconds()
{
    return static_cast<int>(std::min<unsigned>(Settings::EraseTimeout.Read(), INT_MAX));
}
} // namespace

CFLASHKivuInterface::CFLASHKivuInterface(CFLASHComms* pComms) : CFLASHInterface(pComms) {}

void CFLASHKivuInterface::SendFrame(BYTE nCommand, const BYTE* pData, BYTE nLength)
{
    m_pComms->WriteByte(kFrameStart);
    m_pComms->WriteByte(nCommand);
    m_pComms->WriteByte(nLength);
    for (BYTE i = 0; i < nLength; ++i)
        m_pComms->WriteByte(pData[i]);
    m_pComms->WriteByte(kFrameEnd);
}

bool CFLASHKivuInterface::ReadOne(BYTE& nByte)
{
    return m_pComms->ReadBytes(&nByte, 1, nullptr, true);
}

bool CFLASHKivuInterface::Response(unsigned char* pBuffer, unsigned char nExpected, unsigned nCapacity)
{
    BYTE nByte = 0;
    if (!ReadOne(nByte) || nByte != nExpected)
        return false;
    BYTE nLength = 0;
    if (!ReadOne(nLength))
        return false;
    for (unsigned i = 0; i < nLength; ++i) {
        BYTE nData = 0;
        ReadOne(nData);
        if (pBuffer && i < nCapacity)
            pBuffer[i] = nData;
    }
    BYTE nStatus = 0xFF;
    return ReadOne(nStatus) && nStatus == 0x00;
}

bool CFLASHKivuInterface::GetTimedResponse(unsigned char* pBuffer, unsigned char nExpected, int nSeconds,
                                           unsigned char* pStatus)
{
    const DWORD nStart = GetTickCount();
    m_bCancel = false;
    BYTE nCode = nExpected;
    if (!m_pComms->GetTimedResponse(&nCode, nSeconds))
        return false;
    if (m_bCancel)
        return true;
    BYTE nLength = 0;
    if (!ReadOne(nLength))
        return false;
    for (unsigned i = 0; i < nLength; ++i) {
        BYTE nData = 0;
        ReadOne(nData);
        // The boot code is the only answer data callers take.
        if (pBuffer && i == 0)
            pBuffer[i] = nData;
    }
    int nRemaining = nSeconds - static_cast<int>((GetTickCount() - nStart) / 1000);
    // Even a spent budget gets one short wait, so a status already on its way is read.
    if (nRemaining < 1)
        nRemaining = 1;
    BYTE nLocal = 0;
    BYTE* pExpected = pStatus ? pStatus : &nLocal;
    *pExpected = 0x00;
    return m_pComms->GetTimedResponse(pExpected, nRemaining);
}

bool CFLASHKivuInterface::Initialise()
{
    if (!m_pComms)
        return false;
    CStatusForward attach(m_pComms, this, feRestore);
    DisplayMessage(m_dwBoardVariant == 0 ? "Looking for Tarrow interface..." : "Looking for Ellund interface...", 0);
    SendFrame(kcIdentify, nullptr, 0);
    if (!Response(nullptr, kAnswerBase + kcIdentify)) {
        DisplayError("", 15034);
        return false;
    }
    DisplayMessage("Interface found.", 0);
    return true;
}

bool CFLASHKivuInterface::GetVersion(unsigned short* pVersion)
{
    BYTE nMajor = 0;
    BYTE nMinor = 0;
    if (!ReadPort(kPortVersionMajor, &nMajor) || !ReadPort(kPortVersionMinor, &nMinor))
        return false;
    if (pVersion)
        *pVersion = static_cast<unsigned short>(nMajor * 256 + nMinor);
    m_dwBoardVariant = nMajor > 1 ? 1 : 0;
    return true;
}

bool CFLASHKivuInterface::ReadPort(unsigned short nAddress, unsigned char* pValue)
{
    if (!m_pComms)
        return false;
    CStatusForward attach(m_pComms, this, feRestore);
    const auto data = WireFormat::BigEndian<2>(nAddress);
    SendFrame(kcReadPort, data.data(), 2);
    return Response(pValue, kAnswerBase + kcReadPort);
}

bool CFLASHKivuInterface::WritePort(unsigned short nAddress, unsigned char* pValue, unsigned char nOperation)
{
    if (!m_pComms || !pValue)
        return false;
    CStatusForward attach(m_pComms, this, feRestore);
    m_pComms->WriteByte(kFrameStart);
    m_pComms->WriteByte(kcWritePort);
    m_pComms->WriteByte(4);
    for (BYTE by : WireFormat::BigEndian<2>(nAddress))
        m_pComms->WriteByte(by);
    m_pComms->WriteBytes(pValue, 1, true);
    m_pComms->WriteByte(nOperation);
    m_pComms->WriteByte(kFrameEnd);
    return Response(nullptr, kAnswerBase + kcWritePort);
}

bool CFLASHKivuInterface::Status(unsigned char* pStatus)
{
    if (!m_pComms)
        return false;
    CStatusForward attach(m_pComms, this, feRestore);
    SendFrame(kcStatus, nullptr, 0);
    return Response(pStatus, kAnswerBase + kcStatus, kStatusBytes);
}

bool CFLASHKivuInterface::Reset()
{
    if (!m_pComms)
        return false;
    CStatusForward attach(m_pComms, this, feRestore);
    DisplayAdvancedMessage("Resetting interface", 0);
    SendFrame(kcReset, nullptr, 0);
    return Response(nullptr, kAnswerBase + kcReset);
}

bool CFLASHKivuInterface::RunCommand()
{
    if (!m_pComms)
        return false;
    CStatusForward attach(m_pComms, this, feRestore);
    SendFrame(kcRunCommand, nullptr, 0);
    BYTE nByte = 0;
    if (!ReadOne(nByte) || nByte != kAnswerBase + kcRunCommand)
        return false;
    return ReadOne(nByte);
}

bool CFLASHKivuInterface::LoadCommand(unsigned char* pCommand, unsigned long nLength)
{
    if (!m_pComms || (!pCommand && nLength > 0))
        return false;
    CStatusForward attach(m_pComms, this, feRestore);
    SendFrame(kcLoadCommand, WireFormat::BigEndian<4>(nLength).data(), 4);
    BYTE reply[3] = {0, 0, 0};
    m_pComms->ReadBytes(reply, 3, nullptr, false);
    if (reply[2] == kReady) {
        for (unsigned long i = 0; i < nLength; ++i) {
            m_pComms->WriteByte(pCommand[i]);
            BYTE nEcho = 0;
            if (!ReadOne(nEcho) || nEcho != pCommand[i])
                return false;
        }
    }
    BYTE nByte = 0;
    if (!ReadOne(nByte) || nByte != kDone)
        return false;
    return ReadOne(nByte) && nByte == 0x00;
}

bool CFLASHKivuInterface::EnableLine(BYTE nCommand, bool bEnable, const char* pszOn, const char* pszOff)
{
    if (!m_pComms)
        return false;
    CStatusForward attach(m_pComms, this, feRestore);
    m_pComms->WriteByte(kFrameStart);
    m_pComms->WriteByte(nCommand);
    m_pComms->WriteByte(1);
    DisplayAdvancedMessage(bEnable ? pszOn : pszOff, 0);
    m_pComms->WriteByte(bEnable ? kLineOn : kLineOff);
    m_pComms->WriteByte(kFrameEnd);
    return Response(nullptr, static_cast<BYTE>(kAnswerBase + nCommand));
}

bool CFLASHKivuInterface::Enable12V(bool bEnable)
{
    return EnableLine(kc12V, bEnable, "Enabling 12V supply", "Disabling 12V supply");
}

bool CFLASHKivuInterface::EnableVpp(bool bEnable)
{
    return EnableLine(kcVpp, bEnable, "Enabling Vpp supply", "Disabling Vpp supply");
}

bool CFLASHKivuInterface::EnableMDx(bool bEnable)
{
    return EnableLine(kcMDx, bEnable, "Enabling MDx", "Disabling MDx");
}

bool CFLASHKivuInterface::EnableMDy(bool bEnable)
{
    // The line is bit 5 of a board port: cleared by AND, set by OR.
    unsigned char nValue = bEnable ? 0xDF : 0x20;
    return WritePort(kPortMDy, &nValue, bEnable ? 1 : 2);
}

bool CFLASHKivuInterface::SetReset(bool bOn)
{
    if (!m_pComms)
        return false;
    CStatusForward attach(m_pComms, this, feRestore);
    const BYTE nCommand = bOn ? kcResetOn : kcResetOff;
    SendFrame(nCommand, nullptr, 0);
    DisplayAdvancedMessage(bOn ? "Taking RESET line low (Reset On)" : "Taking RESET line high (Reset Off)", 0);
    return Response(nullptr, static_cast<BYTE>(kAnswerBase + nCommand));
}

bool CFLASHKivuInterface::ResetSCI1()
{
    unsigned char nValue = m_dwBoardVariant ? 0x2F : 0x0F;
    return WritePort(kPortSCI1Control, &nValue, 0);
}

bool CFLASHKivuInterface::RunPMODECommand()
{
    BYTE nStatus = 0;
    bool bOk = ReadPort(kPortSCI1Status, &nStatus);
    int nPolls = 0;
    while (bOk && !(nStatus & 0x80) && nPolls < kPModePolls) {
        bOk = ReadPort(kPortSCI1Status, &nStatus);
        ++nPolls;
    }
    if (!bOk || nPolls == kPModePolls)
        return false;
    unsigned char nByte = 0x55;
    if (!WritePort(kPortSCI1Transmit, &nByte, 0))
        return false;
    if (!ReadPort(kPortSCI1Status, &nStatus))
        return false;
    nStatus = static_cast<BYTE>(nStatus & ~0x80);
    return WritePort(kPortSCI1Status, &nStatus, 0);
}

bool CFLASHKivuInterface::GoTransparent(bool bModeByte)
{
    if (!m_pComms)
        return false;
    CStatusForward attach(m_pComms, this, feRestore);
    if (bModeByte && !RunPMODECommand())
        DisplayError("PMODE Command failed", 0);
    DisplayAdvancedMessage("Setting the interface to transparent mode", 0);
    SendFrame(kcTransparent, nullptr, 0);
    return Response(nullptr, kAnswerBase + kcTransparent);
}

bool CFLASHKivuInterface::ResetTarget(bool bPartial)
{
    if (!m_pComms)
        return false;
    CStatusForward attach(m_pComms, this, feRestore);
    SetProgressString("Resetting Device");
    DisplayMessage("Resetting Device", 0);
    GetProgress() = 0;
    SetProgressRange(0, 10);

    bool bOk = true;
    // Runs a step only while all earlier ones succeeded; the position moves on regardless.
    const auto step = [&](auto&& fn, WORD nID, bool bAdvance = true) {
        if (bOk && !fn()) {
            bOk = false;
            if (nID)
                DisplayError("", nID);
        }
        if (bAdvance)
            ++GetProgress();
    };
    step([&] { return GetVersion(&m_wFirmwareVersion); }, 0);
    step([&] { return SetupSCIMin(); }, 0);
    if (Settings::FullResetTarget.Read() != 0)
        step([&] { return SetReset(true); }, 15023);
    const auto off12V = [&] { return Enable12V(false); };
    const auto offVpp = [&] { return EnableVpp(false); };
    if (Settings::VppBefore12V.Read() == 0) {
        step(off12V, 15011);
        step(offVpp, 15012);
    } else {
        step(offVpp, 15012);
        step(off12V, 15011);
    }
    if (!bPartial) {
        step([&] { return EnableMDx(false); }, 15013);
        step([&] { return EnableMDy(false); }, 15014);
    }
    if (bOk && !ResetSCI1()) {
        bOk = false;
        DisplayError("ResetSCI1() failed", 0);
    }
    if (!bPartial)
        step([&] { return Reset(); }, 15022);
    if (Settings::FullResetTarget.Read() != 0)
        step([&] { return SetReset(false); }, 15023);
    step([&] { return Initialise(); }, 15022);
    return bOk;
}

bool CFLASHKivuInterface::BootSCI(unsigned char* pCode)
{
    if (!m_pComms)
        return false;
    CStatusForward attach(m_pComms, this, feRestore);
    DisplayAdvancedMessage("Booting Zentra device", 0);
    Sleep(400);
    SendFrame(kcBoot, nullptr, 0);
    BYTE nStatus = 0;
    const bool bOk = GetTimedResponse(pCode, kAnswerBase + kcBoot, EraseTimeoutSeconds(), &nStatus);
    if (!bOk) {
        if (nStatus == kBootEraseFailed)
            DisplayError("", 15031);
        else if (nStatus == 0)
            DisplayError("", 15047);
    }
    return bOk;
}

bool CFLASHKivuInterface::SendBytesEchoed(const unsigned char* pData, unsigned long nSize)
{
    for (unsigned long i = 0; i < nSize && !m_bCancel; ++i) {
        GetProgress() = static_cast<DWORD>(i * 100 / nSize);
        m_pComms->WriteByte(pData[i]);
        BYTE nEcho = 0;
        if (!ReadOne(nEcho) || nEcho != pData[i])
            return false;
    }
    return true;
}

bool CFLASHKivuInterface::SendBlocks(const unsigned char* pData, unsigned long nSize)
{
    GetProgress() = 0;
    DisplayMessage("Downloading micro kernel...", 0);
    const unsigned long nFull = nSize / kBlockSize;
    const unsigned long nRemainder = nSize % kBlockSize;
    const unsigned long nTotal = nFull + (nRemainder ? 1 : 0);
    for (unsigned long k = 0; k < nFull; ++k) {
        GetProgress() = static_cast<DWORD>(k * 100 / nTotal);
        m_pComms->WriteBytes(pData + k * kBlockSize, kBlockSize, false);
    }
    if (nRemainder) {
        GetProgress() = static_cast<DWORD>(nFull * 100 / nTotal);
        // Not swapped: a two-byte tail is code, not a 16-bit value.
        m_pComms->WriteBytes(pData + nFull * kBlockSize, nRemainder, false);
    }
    GetProgress() = 100;

    DisplayMessage("Verifying micro kernel...", 0);
    GetProgress() = 0;
    for (unsigned long i = 0; i < nSize && !m_bCancel; ++i) {
        GetProgress() = static_cast<DWORD>(i * 100 / nSize);
        BYTE nByte = 0;
        if (!ReadOne(nByte) || nByte != pData[i])
            return false;
    }
    return true;
}

bool CFLASHKivuInterface::Download(unsigned char* pData, unsigned long nSize)
{
    m_bCancel = false;
    if (!m_pComms || (!pData && nSize > 0))
        return false;
    CStatusForward attach(m_pComms, this, feRestore);
    SetProgressString("Negotiating with interface");
    GetProgress() = 0;

    if (m_wFirmwareVersion >= 0x0300) {
        const bool bAutoErase = m_pDeviceInfo && m_pDeviceInfo->m_bBOOTModeAutoErase != 0;
        unsigned char nOption = bAutoErase ? 0 : 1;
        if (!WritePort(kPortDownloadOption, &nOption, 0)) {
            DisplayError("Write Port command failed", 0);
            return false;
        }
    }

    SendFrame(kcDownload, WireFormat::BigEndian<4>(nSize).data(), 4);
    BYTE answer[2] = {0, 0};
    if (!m_pComms->ReadBytes(answer, 2, nullptr, false) || answer[0] != kAnswerBase + kcDownload) {
        DisplayError("", 15032);
        return false;
    }

    GetProgress() = 100;
    DisplayMessage("Downloading  micro-Kernel", 0);
    SetProgressString("Downloading  micro-Kernel");
    GetProgress() = 0;

    bool bMatched = true;
    BYTE nByte = 0;
    if (ReadOne(nByte) && nByte == kReady) {
        bMatched = Settings::UseSingleByteWrites.Read() == 1 ? SendBytesEchoed(pData, nSize)
                                                             : SendBlocks(pData, nSize);
    }
    if (!bMatched) {
        DisplayError("", 15009);
        return false;
    }

    SetProgressString("Device is erasing...");
    bool bDone = false;
    if (!m_bCancel) {
        bDone = ReadOne(nByte) && nByte == kDone;
        if (bDone) {
            // Any byte ends the wait: only silence is a failure.
            BYTE nStatus = 0x00;
            if (!m_pComms->GetTimedResponse(&nStatus, EraseTimeoutSeconds()) && nStatus == 0x00) {
                DisplayError("", 15047);
                return false;
            }
        }
    }
    if (!bDone && !m_bCancel) {
        DisplayError("", 15031);
        return false;
    }
    if (!m_bCancel)
        DisplayMessage("micro-Kernel download successful", 0);
    return true;
}

bool CFLASHKivuInterface::SetupSCI(unsigned char* pParameters, unsigned char* pBuffer)
{
    if (!m_pComms || !pParameters)
        return false;
    CStatusForward attach(m_pComms, this, feRestore);
    BYTE nLocal = 0;
    BYTE& nReply = pBuffer ? *pBuffer : nLocal;
    SendFrame(kcSetupSCI, pParameters, 5);
    if (!ReadOne(nReply) || nReply != kAnswerBase + kcSetupSCI)
        return false;
    BYTE nLength = 0;
    if (!ReadOne(nLength))
        return false;
    if (pParameters[0] == 0) {
        if (!ReadOne(nReply) || nReply != 0x55)
            return false;
        if (pParameters[1] < std::size(kRateSettings) && !m_pComms->Settings(kRateSettings[pParameters[1]]))
            return false;
        Sleep(1);
        m_pComms->WriteByte(0x57);
        if (!ReadOne(nReply) || nReply != 0x59)
            return false;
    } else if (!ReadOne(nReply) || nReply != 0x56) {
        return false;
    }
    BYTE nStatus = 0xFF;
    return ReadOne(nStatus) && nStatus == 0x00;
}

bool CFLASHKivuInterface::SetupPCLink(BYTE nRateCode, unsigned char* pBuffer)
{
    unsigned char parameters[5] = {0x00, nRateCode, 0x01, 0x00, 0x00};
    return SetupSCI(parameters, pBuffer);
}

bool CFLASHKivuInterface::SetupSCIMax()
{
    if (!m_pComms)
        return false;
    CStatusForward attach(m_pComms, this, feRestore);
    m_pComms->Settings("9600,n,8,1");
    if (!GetVersion(&m_wFirmwareVersion)) {
        DisplayError("", 15035);
        return false;
    }
    const unsigned nMajor = m_wFirmwareVersion >> 8;
    if (nMajor == 1) {
        if (!SetupPCLink(kRateCode38400, nullptr)) {
            DisplayError("", 15036);
            return false;
        }
        if (!m_pComms->Settings("38400, n, 8, 1")) {
            DisplayError("", 15037);
            return false;
        }
    } else if (nMajor > 1) {
        if (!SetupPCLink(kRateCode115200, nullptr)) {
            DisplayError("", 15038);
            return false;
        }
        if (!m_pComms->Settings("115200, n, 8, 1")) {
            DisplayError("", 15039);
            return false;
        }
    }
    return true;
}

bool CFLASHKivuInterface::SetupSCIMin()
{
    if (!m_pComms)
        return false;
    CStatusForward attach(m_pComms, this, feRestore);
    if (!GetVersion(&m_wFirmwareVersion)) {
        DisplayError("", 15035);
        return false;
    }
    if (m_dwBoardVariant == 0 || m_dwBoardVariant == 1) {
        BYTE nReply = 0;
        if (!SetupPCLink(kRateCode9600, &nReply)) {
            if (nReply == 0x88 || nReply == 0x89) {
                DisplayAdvancedMessage("Reset detected", 0);
                DisplayError("", 15040);
            } else {
                DisplayError("", 15041);
            }
            return false;
        }
        if (!m_pComms->Settings("9600, n, 8, 1")) {
            DisplayError("", 15042);
            return false;
        }
    }
    return true;
}

bool CFLASHKivuInterface::ChangeBaud(unsigned long nNewRate, unsigned long nPresentRate, unsigned char* pBuffer,
                                     BaudCalcType type)
{
    if (!m_pComms)
        return false;
    CStatusForward attach(m_pComms, this, feRestore);
    // Firmware 1.03 to 1.06 passes the micro-kernel's baud command under another code.
    const bool bOldCommand = m_wFirmwareVersion >= 0x0103 && m_wFirmwareVersion <= 0x0106;
    const bool bSent = m_pComms->WriteByte(0x55) && m_pComms->WriteByte(bOldCommand ? 0x09 : 0x04);
    if (!bSent || !PerformMicroKernelBaudChange(nNewRate, nPresentRate, type)) {
        DetachComms();
        return false;
    }
    Sleep(200);
    DisplayAdvancedMessage("", 15050);
    BYTE nExit = 0;
    const bool bExit = ReadOne(nExit);
    DetachComms();
    if (!bExit) {
        if (IsAdvancedUser())
            DisplayError("", 15051);
        return false;
    }
    DisplayAdvancedMessage("", 15052);
    if (nExit != kTransparentExit)
        return false;

    unsigned char parameters[5] = {0x00, RateCode(nNewRate), 0x01, 0x00, 0x00};
    if (!SetupSCI(parameters, pBuffer))
        return false;
    parameters[0] = 0x01;
    return SetupSCI(parameters, pBuffer);
}
