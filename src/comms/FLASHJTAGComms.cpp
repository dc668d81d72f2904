#include "comms/FLASHJTAGComms.h"

#include <algorithm>
#include <cstring>

#include "devicedb/DeviceInfo.h"
#include "platform/SettingsKeys.h"

namespace {
constexpr unsigned long kWordBytes = 4;
constexpr unsigned char kDefaultClockInput = 0;
constexpr unsigned char kDefaultClockDivider = 2;
} // namespace

CFLASHScanlet::CFLASHScanlet(CStatusUpdate* pOwner) : Scanlet(0, 0), m_pOwner(pOwner) {}

void CFLASHScanlet::Report(const char* pszText)
{
    if (m_pOwner)
        m_pOwner->DisplayError(CString("Quarn Pelto : ") + pszText, 0);
}

CFLASHJTAGComms::CFLASHJTAGComms() : CFLASHComms(nullptr)
{
    m_Status = psClosed;
}

CFLASHJTAGComms::~CFLASHJTAGComms()
{
    m_pScanlet.reset();
    m_Status = psClosed;
}

CFLASHComms* CFLASHJTAGComms::Routed() const
{
    return m_bUseAlternate ? m_pAlternateComms : nullptr;
}

void CFLASHJTAGComms::ReportNotOpen()
{
    DisplayError("'" + CString(kPortName) + ":' is not open", 0);
}

bool CFLASHJTAGComms::Open(const char*)
{
    if (Scanlet::VerifyInstallation() == 0) {
        DisplayError("The Quarn Pelto has not been configured.", 0);
        DisplayError("Use the 'Pelto Setup' Control Panel applet to configure Pelto.", 0);
        return false;
    }
    if (m_Status == psOpen)
        return true;

    m_pScanlet = std::make_unique<CFLASHScanlet>(this);
    if (m_pScanlet->GetPortStatus() != SCANLET_PORT_OPEN) {
        m_Status = psOpenFailed;
        DisplayError("Quarn Pelto : " + m_pScanlet->GetPortErrorMsg(0xFFFFFFFF), 0);
        DisplayError("Unable to open JTAG comms", 0);
        m_pScanlet.reset();
        m_Status = psClosed;
        return false;
    }
    m_Status = psOpen;
    DisplayMessage("Successfully opened JTAG Comms", 0);

    if (m_pDeviceInfo) {
        m_pScanlet->SetCLKIN(static_cast<unsigned char>(m_pDeviceInfo->m_wJTAGDefaultCLK & 0xFF), 0);
        m_pScanlet->SetCDIV(static_cast<unsigned char>(m_pDeviceInfo->m_wJTAGDefaultTCKDiv & 0xFF));
    } else {
        m_pScanlet->SetCLKIN(kDefaultClockInput, 0);
        m_pScanlet->SetCDIV(kDefaultClockDivider);
    }
    m_pScanlet->SetTOE(1);
    m_pScanlet->TMSReset();
    m_pScanlet->SetMudriTimeout(::Settings::JTAGMudriTimeout.Read());

    const unsigned char instruction = kTestInstruction;
    if (m_pScanlet->ScanIR(&instruction, 4, nullptr) != SCANLET_OK) {
        DisplayError("SCAN IR Failed!", 0);
        m_pScanlet.reset();
        m_Status = psClosed;
        return false;
    }

    // The alternate reports through this channel (SetAlternateComms attaches it).
    SetAlternateComms(::Settings::KivuSerial.Read());
    SetTimeouts(ttDefault);
    SetPortName(kPortName);
    return true;
}

bool CFLASHJTAGComms::Close()
{
    if (m_bUseAlternate)
        UseAlternateComms(false, true);
    if (m_pScanlet) {
        m_pScanlet.reset();
        m_Status = psClosed;
        DisplayMessage("JTAG Connection closed", 0);
    }
    // Read with defaults and written back, so the store always shows all seven.
    for (const SSettingInt* pKey : {&::Settings::JTAGExtraLong, &::Settings::JTAGQuick, &::Settings::JTAGSuperQuick,
                                    &::Settings::JTAGLong, &::Settings::JTAGDefault, &::Settings::JTAGMudriTimeout,
                                    &::Settings::JTAGInternalTimeout})
        pKey->Write(pKey->Read());
    return true;
}

bool CFLASHJTAGComms::SetTimeouts(eTimeoutType type)
{
    if (CFLASHComms* pAlternate = Routed()) {
        m_AlternateTimeoutType = type;
        return pAlternate->SetTimeouts(type);
    }
    switch (type) {
    case ttExtraLong: m_dwWordTimeout = ::Settings::JTAGExtraLong.Read(); break;
    case ttQuick: m_dwWordTimeout = ::Settings::JTAGQuick.Read(); break;
    case ttLong: m_dwWordTimeout = ::Settings::JTAGLong.Read(); break;
    case ttSuperQuick: m_dwWordTimeout = ::Settings::JTAGSuperQuick.Read(); break;
    case ttDefault:
    case ttWaitSlice: m_dwWordTimeout = ::Settings::JTAGDefault.Read(); break;
    default: break;
    }
    return true;
}

bool CFLASHJTAGComms::Settings(const char* pszSettings)
{
    if (CFLASHComms* pAlternate = Routed()) {
        m_strAlternateSettings = pszSettings;
        return pAlternate->Settings(pszSettings);
    }
    return true;
}

bool CFLASHJTAGComms::FlushBuffers()
{
    if (CFLASHComms* pAlternate = Routed())
        return pAlternate->FlushBuffers();
    return true;
}

const char* CFLASHJTAGComms::GetPortName()
{
    return kPortName;
}

DWORD CFLASHJTAGComms::GetBaudRate()
{
    return 0;
}

void CFLASHJTAGComms::SetPortName(const char* pszPortName)
{
    CFLASHComms::SetPortName(pszPortName);
}

bool CFLASHJTAGComms::WriteBytes(const unsigned char* pBuffer, unsigned long nCount, bool bSwap)
{
    if (CFLASHComms* pAlternate = Routed())
        return pAlternate->WriteBytes(pBuffer, nCount, bSwap);
    if (!IsAdapterOpen()) {
        ReportNotOpen();
        return false;
    }
    if (!pBuffer && nCount > 0)
        return false;

    m_pScanlet->SetMudriTimeout(m_dwWordTimeout);
    for (unsigned long nOffset = 0; nOffset < nCount; nOffset += kWordBytes) {
        const unsigned long nLeft = nCount - nOffset;
        unsigned char word[kWordBytes] = {0, 0, 0, 0};
        if (nLeft == 2 && !bSwap) {
            word[0] = pBuffer[nOffset + 1];
            word[1] = pBuffer[nOffset];
        } else {
            std::memcpy(word, pBuffer + nOffset, std::min(nLeft, kWordBytes));
        }
        if (m_pScanlet->WriteMudri(word) != SCANLET_OK) {
            DisplayError("'" + CString(GetPortName()) + ":' write time out", 15004);
            return false;
        }
    }
    return true;
}

bool CFLASHJTAGComms::ReadBytes(unsigned char* pBuffer, unsigned long nCount, unsigned long* pReceived, bool bSwap)
{
    if (CFLASHComms* pAlternate = Routed())
        return pAlternate->ReadBytes(pBuffer, nCount, pReceived, bSwap);
    if (!IsAdapterOpen()) {
        if (!pReceived)
            ReportNotOpen();
        return false;
    }
    if (!pBuffer && nCount > 0)
        return false;

    for (unsigned long nOffset = 0; nOffset < nCount; nOffset += kWordBytes) {
        unsigned char word[kWordBytes] = {0, 0, 0, 0};
        m_pScanlet->SetMudriTimeout(m_dwWordTimeout);
        if (m_pScanlet->ReadMudri(word) != SCANLET_OK) {
            if (!pReceived)
                DisplayError("'" + CString(GetPortName()) + ":' read time out", 15005);
            return false;
        }
        std::memcpy(pBuffer + nOffset, word, std::min(nCount - nOffset, kWordBytes));
    }
    if (pReceived)
        *pReceived = nCount;
    return true;
}

int CFLASHJTAGComms::DoReadMudri(unsigned char* pWord)
{
    if (!IsAdapterOpen() || !pWord)
        return SCANLET_NOT_OPEN;
    m_pScanlet->SetMudriTimeout(m_dwWordTimeout);
    return m_pScanlet->ReadMudri(pWord);
}
