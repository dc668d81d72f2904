#include "protocol/FLASHProtocol.h"

#include "device/DeviceID.h"
#include "device/FLASHDevice.h"
#include "device/FunctionMap.h"
#include "operations/SettingsKeys.h"

CFLASHProtocol::CFLASHProtocol(CFLASHDevice* pDevice, CFLASHComms* pComms)
    : m_pComms(pComms), m_pDevice(pDevice), m_pDeviceID(pDevice ? pDevice->GetDeviceID() : nullptr)
{
}

int CFLASHProtocol::LengthWidth(unsigned long length)
{
    if (length < 0x100ul)
        return 1;
    if (length < 0x10000ul)
        return 2;
    if (length < 0x1000000ul)
        return 3;
    return 4;
}

CString CFLASHProtocol::SizeText(unsigned long length)
{
    CString text;
    if (length < 1024)
        text.Format("%d Bytes", static_cast<int>(length));
    else if (length % 1024 == 0)
        text.Format("%d K", static_cast<int>(length / 1024));
    else
        text.Format("%4.2f K", static_cast<double>(length) / 1024.0);
    return text;
}

void CFLASHProtocol::Attach()
{
    if (m_pComms)
        m_pComms->SetStatusUpdate(this);
}

void CFLASHProtocol::Detach()
{
    if (m_pComms)
        m_pComms->SetStatusUpdate(m_pComms);
}

bool CFLASHProtocol::SendByte(BYTE by)
{
    return m_pComms && m_pComms->WriteBytes(&by, 1, false);
}

bool CFLASHProtocol::SendField(unsigned long value, int nWidth)
{
    BYTE bytes[4];
    for (int i = 0; i < nWidth; ++i)
        bytes[i] = static_cast<BYTE>(value >> (8 * (nWidth - 1 - i)));
    return m_pComms && m_pComms->WriteBytes(bytes, static_cast<unsigned long>(nWidth), false);
}

namespace {
// Channel messages travel through the protocol for the length of one operation.
class CAttached
{
public:
    CAttached(CFLASHComms* pComms, CStatusUpdate* pProtocol) : m_pComms(pComms) { m_pComms->SetStatusUpdate(pProtocol); }
    ~CAttached() { m_pComms->SetStatusUpdate(m_pComms); }
    CAttached(const CAttached&) = delete;
    CAttached& operator=(const CAttached&) = delete;

private:
    CFLASHComms* m_pComms;
};
} // namespace

bool CFLASHProtocol::NotAvailable(const char* pszOperation)
{
    DisplayError(CString(pszOperation) + " is not available in this version of the library", 0);
    return false;
}

void CFLASHProtocol::Cancel()
{
    m_bCancelled = true;
}

bool CFLASHProtocol::ReadDeviceID(unsigned char identifier)
{
    if (!m_pComms || !m_pDeviceID || m_pComms->GetStatus() != psOpen)
        return false;
    Attach();
    m_byLastCommand = kIdentity;
    const bool bSent = SendByte(kIdentity);
    BYTE reply[CFLASHDeviceID::kReplySize] = {};
    if (!m_pComms->ReadBytes(reply, sizeof reply, nullptr, false)) {
        Detach();
        return false;
    }
    m_pDeviceID->LoadReply(reply);
    if (bSent)
        SendByte(identifier);
    if (m_pDeviceID->GetBitFields().IsUserModeKernel()) {
        DisplayWarning("The target device has a USER mode kernel running.", 0);
        Detach();
        if (m_pDevice)
            m_pDevice->m_bWrongKernel = true;
        // The RAM top that follows is read only to keep the line in step.
        BYTE top[2];
        m_pComms->ReadBytes(top, 2, nullptr, true);
        return false;
    }
    const bool bResult = ExchangeHandshake(identifier);
    Detach();
    return bResult;
}

bool CFLASHUserModeProtocol::ReadDeviceID(unsigned char identifier)
{
    if (!m_pComms || !m_pDeviceID || m_pComms->GetStatus() != psOpen)
        return false;
    Attach();
    m_byLastCommand = kIdentity;
    const bool bSent = SendByte(kIdentity);
    BYTE reply[CFLASHDeviceID::kReplySize] = {};
    if (!m_pComms->ReadBytes(reply, sizeof reply, nullptr, false)) {
        Detach();
        return false;
    }
    m_pDeviceID->LoadReply(reply);
    if (bSent)
        SendByte(identifier);
    if (!m_pDeviceID->GetBitFields().IsUserModeKernel()) {
        DisplayWarning("The target device has a BOOT mode kernel running.", 0);
        Detach();
        if (m_pDevice)
            m_pDevice->m_bWrongKernel = true;
        return false;
    }
    BYTE top[2] = {};
    bool bResult = m_pComms->ReadBytes(top, 2, nullptr, false);
    if (bResult) {
        if (auto* pUser = dynamic_cast<CFLASHUserModeDeviceID*>(m_pDeviceID))
            pUser->LoadRAMTop(top);
    }
    bResult = bResult && ExchangeHandshake(identifier);
    Detach();
    return bResult;
}

bool CFLASHProtocol::ExchangeHandshake(BYTE identifier)
{
    BYTE by = 0;
    if (!SendByte(kHandshake) || !m_pComms->ReadBytes(&by, 1, nullptr, false))
        return false;
    m_pDeviceID->SetHandshake(by);
    return m_pComms->ReadBytes(&by, 1, nullptr, false) && by == identifier;
}

bool CFLASHProtocol::IsReallyConnected(unsigned char identifier)
{
    if (!m_pComms || !m_pDeviceID || m_pComms->GetStatus() != psOpen)
        return false;
    Attach();
    m_pComms->SetTimeouts(ttQuick);
    bool bResult = SendByte(kHandshake);
    BYTE by = 0;
    if (bResult)
        bResult = m_pComms->ReadBytes(&by, 1, nullptr, false) && by == m_pDeviceID->GetHandshake();
    if (bResult)
        bResult = m_pComms->ReadBytes(&by, 1, nullptr, false) && by == identifier;
    Detach();
    m_pComms->SetTimeouts(ttDefault);
    return bResult;
}

bool CFLASHProtocol::EraseFLASHBlock(unsigned long start, unsigned long end, const unsigned char* pEBR)
{
    if (!m_pComms || !m_pDeviceID)
        return false;
    const int nWidth = m_pDeviceID->GetFieldWidth();
    CAttached attached(m_pComms, this);
    m_byLastCommand = kErase;
    SendByte(kErase);
    SendField(start, nWidth);
    SendField(end, nWidth);
    const int nEBR = m_pDeviceID->GetEraseRegisterCount();
    if (nEBR > 0 && pEBR)
        m_pComms->WriteBytes(pEBR, static_cast<unsigned long>(nEBR), false);

    BYTE last = kEraseRunning;
    const int nWait = static_cast<int>(Settings::EraseTimeout.Read() / 2);
    bool bFailed = false;
    if (!m_pComms->GetTimedResponse(&last, nWait)) {
        // Unchanged means nothing came at all.
        bFailed = last == kEraseRunning || (last != kEraseDone && last != kEraseFailed);
    }
    m_pComms->SetTimeouts(ttExtraLong);
    while (last == kEraseRunning && !bFailed && !m_bCancelled)
        bFailed = !m_pComms->ReadBytes(&last, 1, nullptr, false);
    m_pComms->SetTimeouts(ttDefault);
    if (bFailed)
        return false;
    if (last == kEraseDone)
        return true;
    if (last == kEraseFailed)
        DisplayError("PreWrite Failed", 0);
    return false;
}

bool CFLASHProtocol::BlankCheck(bool* pBlank, unsigned long start, unsigned long length)
{
    if (!m_pComms || !m_pDeviceID || !pBlank)
        return false;
    const int nWidth = m_pDeviceID->GetFieldWidth();
    Attach();
    m_byLastCommand = kBlankCheck;
    if (!SendByte(kBlankCheck) || !SendField(start, nWidth) || !SendField(length, nWidth)) {
        Detach();
        return false;
    }
    BYTE by = kBlank;
    const bool bMatched = m_pComms->GetTimedResponse(&by, static_cast<int>(Settings::CheckBlankTimeout.Read()));
    Detach();
    if (!bMatched && by == kBlank)
        return false; // nothing came
    *pBlank = bMatched;
    return true;
}

bool CFLASHProtocol::ReadData(unsigned long start, unsigned long length, unsigned char* pBuffer)
{
    if (!m_pComms || !m_pDeviceID || (!pBuffer && length > 0))
        return false;
    CAttached attached(m_pComms, this);
    m_bCancelled = false;
    GetProgress() = 0;
    SetProgressRange(0, length);
    DisplayMessage("Reading " + SizeText(length) + " from device", 0);
    SetProgressString("Reading data from device");

    const int nLengthWidth = LengthWidth(length);
    m_byLastCommand = static_cast<BYTE>(kReadBase | (nLengthWidth << 5));
    bool bSending = SendByte(m_byLastCommand) && SendField(length, nLengthWidth) &&
                    SendField(start, m_pDeviceID->GetFieldWidth());

    GetProgress() = 0;
    m_pComms->SetTimeouts(ttQuick);
    int nBudget = kReadRetries;
    unsigned long remaining = length;
    while (remaining > 0 && nBudget > 0 && bSending) {
        const unsigned long chunk = remaining < kReadChunk ? remaining : kReadChunk;
        unsigned long received = 0;
        const bool bFull = m_pComms->ReadBytes(pBuffer, chunk, &received, false) && received == chunk;
        if (m_bCancelled) {
            SendByte(kAbort);
            m_pComms->SetTimeouts(ttDefault);
            return true;
        }
        if (bFull) {
            bSending = SendByte(kChunkOK);
            nBudget = kReadRetries;
            pBuffer += chunk;
            remaining -= chunk;
            GetProgress() += static_cast<DWORD>(chunk);
        } else {
            // The kernel sends the whole chunk again; what came of it is dropped.
            // The rest of a late chunk may still be on its way: wait for the
            // line to fall quiet first, or it would be taken as the start of
            // the chunk sent again.
            BYTE late[kReadChunk];
            unsigned long lateCount = 0;
            do {
                lateCount = 0;
                m_pComms->ReadBytes(late, kReadChunk, &lateCount, false);
            } while (lateCount > 0 && !m_bCancelled);
            m_pComms->FlushBuffers();
            bSending = SendByte(kChunkAgain);
            --nBudget;
        }
    }
    m_pComms->SetTimeouts(ttDefault);
    if (nBudget == 0 && bSending) {
        DisplayError(CString("'") + m_pComms->GetPortName() + ":' read time out", 15005);
        return false;
    }
    GetProgress() = 100;
    return bSending;
}

bool CFLASHProtocol::WriteVerifyFLASHData(unsigned long start, unsigned long length, unsigned char* pData,
                                          unsigned long padding, int)
{
    if (!m_pComms || !m_pDeviceID || !m_pDevice || (!pData && length > 0))
        return false;
    const unsigned long bufferSize = m_pDevice->GetBufferSize();
    if (bufferSize == 0 && length > 0) {
        DisplayError("The target has no data buffer: its size is 0", 0);
        return false;
    }
    CAttached attached(m_pComms, this);
    m_bCancelled = false;
    const unsigned long announced = length + padding;
    const int nLengthWidth = LengthWidth(announced);
    m_byLastCommand = static_cast<BYTE>(kWriteBase | (nLengthWidth << 5));
    if (!SendByte(m_byLastCommand) || !SendField(announced, nLengthWidth) ||
        !SendField(start, m_pDeviceID->GetFieldWidth())) {
        DisplayError("Failed to send command parameters", 0);
        return false;
    }
    const int nMultiplier = bufferSize > 1024 ? static_cast<int>(bufferSize / 1024) : 1;
    const int nWait = static_cast<int>(Settings::WriteTimeout.Read()) * nMultiplier;

    unsigned long address = start;
    unsigned long remaining = length;
    while (remaining > 0) {
        const unsigned long chunk = remaining < bufferSize ? remaining : bufferSize;
        if (!m_pComms->WriteBytes(pData, chunk, false)) {
            DisplayError("Data transfer failed", 0);
            return false;
        }
        m_pDevice->OnWriteBlock(address, chunk);
        address += chunk;
        pData += chunk;
        GetProgress() += static_cast<DWORD>(chunk);

        BYTE reply = kWriteVerified;
        if (!m_pComms->GetTimedResponse(&reply, nWait)) {
            if (reply == kWriteVerified) {
                DisplayError("Target did not respond within the specified time", 0);
                return false;
            }
            // 0x10 says the kernel took the chunk without verifying it yet.
            // Address and data have already moved past the chunk, so it is
            // counted like a verified one: the remaining length keeps step
            // with the data pointer and can never run past the caller's data.
            // The kernel's verdict on the chunk still arrives in the final status.
            if (reply != kWriteAccepted) {
                DisplayError("", 15028);
                return false;
            }
        }
        if (m_bCancelled) {
            if (!SendByte(kAbort))
                return false;
            break;
        }
        if (!SendByte(kChunkAgain)) {
            DisplayError("Failed to send mid-transfer command parameter", 0);
            return false;
        }
        remaining -= chunk;
    }
    BYTE status = 0;
    const bool bRead = m_pComms->ReadBytes(&status, 1, nullptr, true);
    if (m_bCancelled)
        return true;
    if (!bRead) {
        DisplayError("Failed to receive acknowledge byte.", 0);
        return false;
    }
    return status != kWriteFailed;
}

bool CFLASHProtocol::DownloadFunction(unsigned short address, unsigned short length, unsigned char* pCode)
{
    if (!m_pComms)
        return false;
    m_byLastCommand = length < 0x100 ? kModuleShort : kModuleLong;
    SendByte(m_byLastCommand);
    SendField(length, 2);
    SendField(address, 2);
    if (length > 0 && pCode)
        m_pComms->WriteBytes(pCode, length, false);
    return true;
}

bool CFLASHProtocol::DownloadFunctionMap(CFLASHFunctionMap* pMap, unsigned char count, unsigned short bufferAddress,
                                         unsigned short bufferSize)
{
    if (!m_pComms || !pMap)
        return false;
    m_byLastCommand = kFunctionMap;
    SendByte(kFunctionMap);
    SendByte(static_cast<BYTE>(count * 2));
    for (int i = 0; i < count; ++i)
        SendField(pMap->GetEntry(i), 2);
    SendField(bufferAddress, 2);
    SendField(bufferSize, 2);
    return true;
}

bool CFLASHProtocol::Disconnect(bool bReset)
{
    m_byLastCommand = kEnd;
    bool bResult = SendByte(kEnd);
    if (bResult)
        bResult = SendByte(bReset ? kResetTarget : 0x00);
    return bResult;
}

bool CFLASHProtocol::RequestLineSize()
{
    return NotAvailable("Line size request (Protocol B)");
}

bool CFLASHProtocol::DownloadFunction_ProtocolB(unsigned short, unsigned short, unsigned char*)
{
    return NotAvailable("Module download (Protocol B)");
}

bool CFLASHProtocol::WriteVerifyFLASHData_ProtocolB(unsigned long, unsigned long, unsigned char*, unsigned long, int)
{
    return NotAvailable("Write (Protocol B)");
}

bool CFLASHProtocol::ReadData_ProtocolB(unsigned long, unsigned long, unsigned char*)
{
    return NotAvailable("Read (Protocol B)");
}

bool CFLASHProtocol::RequestBootProgramStatus()
{
    return NotAvailable("Boot program status request (Protocol B)");
}

bool CFLASHProtocol::EraseFLASHBlock_ProtocolB(unsigned long, unsigned long, const unsigned char*)
{
    return NotAvailable("Erase (Protocol B)");
}

bool CFLASHProtocol::BlankCheck_ProtocolB(bool*, unsigned long, unsigned long)
{
    return NotAvailable("Blank check (Protocol B)");
}

bool CFLASHProtocol::EraseFLASHBlock_End()
{
    return NotAvailable("End of erase (Protocol B)");
}
