#include "protocol/FLASHProtocol.h"

#include <algorithm>
#include <cstring>

#include "platform/SettingsKeys.h"
#include "platform/WireFormat.h"
#include "protocol/DeviceID.h"
#include "protocol/FunctionMap.h"

CFLASHProtocol::CFLASHProtocol(CFLASHProtocolDevice* pDevice, CFLASHComms* pComms)
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
    WireFormat::PutBigEndian(value, nWidth, bytes);
    return m_pComms && m_pComms->WriteBytes(bytes, static_cast<unsigned long>(nWidth), false);
}

void CFLASHProtocol::Cancel()
{
    m_bCancelled = true;
}

bool CFLASHProtocol::RequestIdentity(unsigned char identifier)
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
    return true;
}

void CFLASHProtocol::RefuseKernel(const char* pszWarning)
{
    DisplayWarning(pszWarning, 0);
    Detach();
    if (m_pDevice)
        m_pDevice->MarkWrongKernel();
}

bool CFLASHProtocol::ReadDeviceID(unsigned char identifier)
{
    if (!RequestIdentity(identifier))
        return false;
    if (m_pDeviceID->GetBitFields().IsUserModeKernel()) {
        RefuseKernel("The target device has a USER mode kernel running.");
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
    return ReadUserModeDeviceID(identifier);
}

bool CFLASHProtocol::ReadUserModeDeviceID(unsigned char identifier)
{
    if (!RequestIdentity(identifier))
        return false;
    if (!m_pDeviceID->GetBitFields().IsUserModeKernel()) {
        RefuseKernel("The target device has a BOOT mode kernel running.");
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
    if (!m_pComms || !m_pDeviceID || m_pComms->GetStatus() != psOpen || !SettleOwedAnswer())
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
    CStatusForward attached(m_pComms, this, feRestore);
    if (!SettleOwedAnswer())
        return false;
    m_byLastCommand = kErase;
    SendByte(kErase);
    SendEraseRange(start, end, pEBR);

    BYTE last = kEraseRunning;
    const int nWait = static_cast<int>(Settings::EraseTimeout.Read() / 2);
    bool bFailed = false;
    if (!m_pComms->GetTimedResponse(&last, nWait)) {
        // Unchanged means nothing came at all.
        bFailed = last == kEraseRunning || (last != kEraseDone && last != kEraseFailed);
    }
    bool bWaitEnded = m_pComms->WaitWasCancelled();
    while (last == kEraseRunning && !bFailed && !m_bCancelled && !bWaitEnded) {
        bFailed = !m_pComms->GetTimedResponse(&last, kErasePollSeconds) && last == kEraseRunning;
        bWaitEnded = m_pComms->WaitWasCancelled();
    }
    // Ended by a cancel while the kernel still erases: its answer comes later.
    if (last == kEraseRunning && !bFailed) {
        m_bEraseOwed = true;
        m_nOwedSeconds = std::max(nWait, kErasePollSeconds);
    }
    m_pComms->SetTimeouts(ttDefault);
    if (bFailed)
        return false;
    if (last == kEraseDone)
        return true;
    if (last == kEraseFailed)
        DisplayError("PreWrite Failed", 0);
    return false;
}

void CFLASHProtocol::OweAnswers(int nCount, int nSeconds)
{
    m_nOwedAnswers += nCount;
    m_nOwedSeconds = std::max(m_nOwedSeconds, nSeconds);
}

bool CFLASHProtocol::SettleOwedAnswer()
{
    if (!m_bEraseOwed && m_nOwedAnswers == 0)
        return true;
    if (!m_pComms || m_pComms->GetStatus() != psOpen) {
        m_bEraseOwed = false;
        m_nOwedAnswers = 0;
        return true;
    }
    // The target answers a cancelled wait in its own time; taken and dropped
    // here, that answer is not read as the reply to what is asked next.
    DisplayAdvancedMessage("Waiting for the target to answer the cancelled command", 0);
    while (m_bEraseOwed) {
        BYTE by = kEraseRunning;
        const bool bRunning = m_pComms->GetTimedResponse(&by, m_nOwedSeconds);
        if (m_pComms->WaitWasCancelled())
            return false;
        m_bEraseOwed = bRunning;
    }
    for (; m_nOwedAnswers > 0; --m_nOwedAnswers) {
        BYTE by = 0;
        m_pComms->GetTimedResponse(&by, m_nOwedSeconds);
        if (m_pComms->WaitWasCancelled())
            return false;
    }
    m_nOwedSeconds = 0;
    m_pComms->DiscardInFlight();
    return true;
}

void CFLASHProtocol::SendEraseRange(unsigned long start, unsigned long end, const unsigned char* pEBR)
{
    const int nWidth = m_pDeviceID->GetFieldWidth();
    SendField(start, nWidth);
    SendField(end, nWidth);
    const int nEBR = m_pDeviceID->GetEraseRegisterCount();
    if (nEBR > 0 && pEBR)
        m_pComms->WriteBytes(pEBR, static_cast<unsigned long>(nEBR), false);
}

bool CFLASHProtocol::BlankCheck(bool* pBlank, unsigned long start, unsigned long length)
{
    if (!m_pComms || !m_pDeviceID || !pBlank)
        return false;
    CStatusForward attached(m_pComms, this, feRestore);
    if (!SettleOwedAnswer())
        return false;
    m_byLastCommand = kBlankCheck;
    return SendByte(kBlankCheck) && BlankCheckRange(pBlank, start, length);
}

bool CFLASHProtocol::BlankCheckRange(bool* pBlank, unsigned long start, unsigned long length)
{
    const int nWidth = m_pDeviceID->GetFieldWidth();
    if (!SendField(start, nWidth) || !SendField(length, nWidth))
        return false;
    BYTE by = kBlank;
    const int nWait = static_cast<int>(Settings::CheckBlankTimeout.Read());
    const bool bMatched = m_pComms->GetTimedResponse(&by, nWait);
    if (m_pComms->WaitWasCancelled())
        OweAnswers(1, nWait);
    if (!bMatched && by == kBlank)
        return false; // nothing came
    *pBlank = bMatched;
    return true;
}

bool CFLASHProtocol::ReadData(unsigned long start, unsigned long length, unsigned char* pBuffer)
{
    return ReadTransfer(start, length, pBuffer, false);
}

bool CFLASHProtocol::ReadTransfer(unsigned long start, unsigned long length, unsigned char* pBuffer,
                                  bool bPlaceModule)
{
    if (!m_pComms || !m_pDeviceID || (!pBuffer && length > 0))
        return false;
    CStatusForward attached(m_pComms, this, feRestore);
    if (!SettleOwedAnswer())
        return false;
    BeginRead(length);
    unsigned long done = 0;
    for (int nRestart = 0;; ++nRestart) {
        const eReadEnd end =
            ReadChunks(start + done, length - done, pBuffer + done, bPlaceModule, nRestart > 0, &done);
        if (end != reOutOfStep)
            return end != reFailed;
        // What was taken before the doubt is sure; the rest is read again from
        // its own address. The 1K kernels give up their read module when a
        // read is abandoned, so they are not asked again. Copies still on
        // their way would otherwise arrive after the new command.
        DrainOwed(true);
        SendByte(kAbort);
        DrainLine();
        m_pComms->SetTimeouts(ttDefault);
        if (bPlaceModule || nRestart == kReadRestarts) {
            CString text;
            text.Format("'%s:' read out of step with the kernel at H'%08lX: a read acknowledge was lost",
                        m_pComms->GetPortName(), start + done);
            DisplayError(text, 15005);
            return false;
        }
        CString text;
        text.Format("A read acknowledge was lost: reading again from H'%08lX", start + done);
        DisplayAdvancedMessage(text, 0);
    }
}

void CFLASHProtocol::DrainLine()
{
    // Waits for the line to fall quiet, so that the rest of a late chunk is
    // not taken as the start of the next one.
    m_pComms->SetTimeouts(ttQuick);
    BYTE late[kReadChunk];
    unsigned long lateCount = 0;
    do {
        lateCount = 0;
        m_pComms->ReadBytes(late, kReadChunk, &lateCount, false);
    } while (lateCount > 0 && !m_bCancelled);
    m_pComms->FlushBuffers();
}

void CFLASHProtocol::DrainOwed(bool bWait)
{
    m_pComms->SetTimeouts(ttDefault);
    BYTE late[kReadChunk];
    while (bWait && m_nReadOwed > 0 && !m_bCancelled) {
        unsigned long lateCount = 0;
        m_pComms->ReadBytes(late, std::min<unsigned long>(static_cast<unsigned long>(m_nReadOwed), kReadChunk),
                            &lateCount, false);
        if (lateCount == 0)
            break; // never coming: a byte lost on the line, or our acknowledge
        m_nReadOwed -= static_cast<long>(lateCount);
    }
    m_nReadOwed = 0;
    DrainLine();
}

void CFLASHProtocol::AwaitChunkOf(unsigned long remaining)
{
    m_nReadOwed += static_cast<long>(std::min<unsigned long>(remaining, kReadChunk));
}

bool CFLASHProtocol::CopyAgrees(const unsigned char* pChunk, unsigned long chunk)
{
    BYTE copy[kReadChunk];
    unsigned long copied = 0;
    m_pComms->ReadBytes(copy, chunk, &copied, false);
    // Nothing behind it: what was taken may be the tail of one copy and the
    // head of the next, which only a whole copy can tell from the chunk.
    if (copied == 0 && !m_bCancelled) {
        if (!SendByte(kChunkAgain))
            return false;
        AwaitChunkOf(chunk);
        m_pComms->ReadBytes(copy, chunk, &copied, false);
    }
    m_nReadOwed -= static_cast<long>(copied);
    return copied == chunk && std::memcmp(copy, pChunk, chunk) == 0;
}

CFLASHProtocol::eReadEnd CFLASHProtocol::ReadChunks(unsigned long start, unsigned long length, unsigned char* pBuffer,
                                                    bool bPlaceModule, bool bDoubtful, unsigned long* pDone)
{
    bool bSending = SendTransferCommand(kReadBase, length, start);
    if (bSending && bPlaceModule && !(m_pDevice && m_pDevice->ManageFunctionMap(fnRead)))
        return reFailed;
    m_nReadOwed = 0;
    AwaitChunkOf(length);

    m_pComms->SetTimeouts(ttQuick);
    int nBudget = kReadRetries;
    unsigned long remaining = length;
    bool bAskedAgain = false;
    // Chunks still to be taken only when a second copy agrees: after a doubt
    // the line may carry the tail of a copy, which with the head of the next
    // fills 32 bytes that look whole.
    int nDoubtful = bDoubtful ? 1 : 0;
    while (remaining > 0 && nBudget > 0 && bSending) {
        const unsigned long chunk = remaining < kReadChunk ? remaining : kReadChunk;
        unsigned long received = 0;
        bool bFull = m_pComms->ReadBytes(pBuffer, chunk, &received, false) && received == chunk;
        m_nReadOwed -= static_cast<long>(received);
        const bool bDoubt = bAskedAgain || nDoubtful > 0;
        if (bFull && bDoubt && !m_bCancelled) {
            // A chunk that was only late, not lost, arrives whole before the
            // copy we asked for; taking that copy as the next chunk would
            // shift everything after it without any error.
            bFull = CopyAgrees(pBuffer, chunk);
            // When our acknowledge of the last chunk was lost, the kernel
            // answers the request with that chunk again. A copy of the last
            // chunk may also be the next one holding the same bytes: only a
            // read from a known address settles it.
            if (bFull && bAskedAgain && remaining < length &&
                std::memcmp(pBuffer, pBuffer - kReadChunk, chunk) == 0) {
                // The chunk our lost acknowledge asked for never comes.
                m_nReadOwed -= static_cast<long>(chunk);
                m_pComms->SetTimeouts(ttDefault);
                return reOutOfStep;
            }
        }
        if (m_bCancelled) {
            SendByte(kAbort);
            m_pComms->DiscardInFlight();
            m_pComms->SetTimeouts(ttDefault);
            return reDone;
        }
        if (bFull) {
            if (bDoubt) {
                // More copies than were taken may still be on their way; the
                // kernel sends nothing new before our acknowledge.
                DrainOwed(true);
                nDoubtful = bAskedAgain ? 1 : nDoubtful - 1;
            }
            bSending = SendByte(kChunkOK);
            AwaitChunkOf(remaining - chunk);
            nBudget = kReadRetries;
            bAskedAgain = false;
            pBuffer += chunk;
            remaining -= chunk;
            *pDone += chunk;
            GetProgress() += static_cast<DWORD>(chunk);
        } else {
            // The kernel sends the whole chunk again; what came of it is dropped.
            // Waiting for a chunk that never came at all is worth it once.
            DrainOwed(received > 0 || nBudget == kReadRetries);
            bSending = SendByte(kChunkAgain);
            AwaitChunkOf(chunk);
            bAskedAgain = true;
            --nBudget;
        }
    }
    m_pComms->SetTimeouts(ttDefault);
    if (nBudget == 0 && bSending) {
        ReportReadTimeOut();
        return reFailed;
    }
    GetProgress() = 100;
    return bSending ? reDone : reFailed;
}

void CFLASHProtocol::BeginRead(unsigned long length)
{
    m_bCancelled = false;
    GetProgress() = 0;
    SetProgressRange(0, length);
    DisplayMessage("Reading " + WireFormat::SizeText(length) + " from device", 0);
    SetProgressString("Reading data from device");
}

void CFLASHProtocol::ReportReadTimeOut()
{
    DisplayError(CString("'") + m_pComms->GetPortName() + ":' read time out", 15005);
}

bool CFLASHProtocol::SendTransferCommand(BYTE base, unsigned long length, unsigned long start)
{
    const int nLengthWidth = LengthWidth(length);
    m_byLastCommand = static_cast<BYTE>(base | (nLengthWidth << 5));
    return SendByte(m_byLastCommand) && SendField(length, nLengthWidth) &&
           SendField(start, m_pDeviceID->GetFieldWidth());
}

bool CFLASHProtocol::HasWriteBuffer(unsigned long length)
{
    if (m_pDevice->GetBufferSize() == 0 && length > 0) {
        DisplayError("The target has no data buffer: its size is 0", 0);
        return false;
    }
    return true;
}

bool CFLASHProtocol::WriteVerifyFLASHData(unsigned long start, unsigned long length, unsigned char* pData,
                                          unsigned long padding, int)
{
    return WriteTransfer(start, length, pData, padding, false);
}

bool CFLASHProtocol::WriteTransfer(unsigned long start, unsigned long length, unsigned char* pData,
                                   unsigned long padding, bool bPlaceModule)
{
    if (!m_pComms || !m_pDeviceID || !m_pDevice || (!pData && length > 0))
        return false;
    // The 1K write module sizes the buffer only once it is placed.
    if (!bPlaceModule && !HasWriteBuffer(length))
        return false;
    // The 1K write leaves the channel's messages where they were.
    CStatusForward attached(bPlaceModule ? nullptr : m_pComms, this, feRestore);
    if (!SettleOwedAnswer())
        return false;
    m_bCancelled = false;
    if (!SendTransferCommand(kWriteBase, length + padding, start)) {
        DisplayError("Failed to send command parameters", 0);
        return false;
    }
    // Placing the 1K write module sends the buffer's address and size.
    if (bPlaceModule && (!m_pDevice->ManageFunctionMap(fnWrite) || !HasWriteBuffer(length)))
        return false;
    const unsigned long bufferSize = m_pDevice->GetBufferSize();
    int nWait = 0;
    if (!bPlaceModule) {
        const int nMultiplier = bufferSize > 1024 ? static_cast<int>(bufferSize / 1024) : 1;
        nWait = static_cast<int>(Settings::WriteTimeout.Read()) * nMultiplier;
    }

    unsigned long address = start;
    unsigned long remaining = length;
    while (remaining > 0) {
        const unsigned long chunk = remaining < bufferSize ? remaining : bufferSize;
        // The 1K kernel takes the padding the length announced after the last chunk.
        const unsigned long tail = bPlaceModule && chunk == remaining ? padding : 0;
        if (!SendChunk(pData, chunk, tail, bPlaceModule)) {
            DisplayError("Data transfer failed", 0);
            return false;
        }
        m_pDevice->OnWriteBlock(address, chunk);
        address += chunk;
        pData += chunk;
        GetProgress() += static_cast<DWORD>(chunk);

        if (!ChunkTaken(nWait, bPlaceModule))
            return false;
        if (m_bCancelled || m_nOwedAnswers > 0) {
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
    // The final status comes after an answer still owed: read later, not now.
    if (m_nOwedAnswers > 0)
        return true;
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

bool CFLASHProtocol::SendChunk(const BYTE* pData, unsigned long nCount, unsigned long padding, bool bByteWise)
{
    if (!bByteWise)
        return m_pComms->WriteBytes(pData, nCount, false);
    for (unsigned long i = 0; i < nCount; ++i)
        if (!SendByte(pData[i]))
            return false;
    for (unsigned long i = 0; i < padding; ++i)
        if (!SendByte(0xFF))
            return false;
    return true;
}

bool CFLASHProtocol::ChunkTaken(int nWait, bool bPlainRead)
{
    BYTE reply = kWriteVerified;
    if (bPlainRead) {
        if (!m_pComms->ReadBytes(&reply, 1, nullptr, true))
            return false;
    } else if (!m_pComms->GetTimedResponse(&reply, nWait) && reply == kWriteVerified) {
        DisplayError("Target did not respond within the specified time", 0);
        return false;
    } else if (m_pComms->WaitWasCancelled()) {
        // The chunk's answer is on its way (the kernel is programming it): it
        // is taken before the abort, so the final status is read as itself.
        unsigned long received = 0;
        m_pComms->ReadBytes(&reply, 1, &received, false);
        if (received == 0) {
            // Still not here: the answer and the final status are owed.
            OweAnswers(2, nWait);
            reply = kWriteVerified;
        }
    }
    // 0x10 says the kernel took the chunk without verifying it yet.
    // Address and data have already moved past the chunk, so it is
    // counted like a verified one: the remaining length keeps step
    // with the data pointer and can never run past the caller's data.
    // The kernel's verdict on the chunk still arrives in the final status.
    if (reply != kWriteVerified && reply != kWriteAccepted) {
        DisplayError("", 15028);
        return false;
    }
    return true;
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

CString CFLASHProtocol::ErrorCodeText(BYTE errorReply, BYTE code)
{
    if (code == 0)
        return "";
    switch (code) {
    case 0x11:
        return errorReply == kEraseError ? "Sum-check error" : errorReply == kReadError ? "Check sum error"
                                                                                         : "Sum check error";
    case 0x28:
        return errorReply == kWriteError ? "Invalid write address error" : "Unknown error";
    case 0x2A:
        return errorReply == kReadError ? "Invalid memory read address error" : "Unknown error";
    case 0x2B:
        return errorReply == kReadError ? "Data length error" : "Unknown error";
    case 0x53:
        return errorReply == kWriteError ? "Write image error" : "Unknown error";
    default:
        return "Unknown error";
    }
}

bool CFLASHProtocol::SendSummed(const BYTE* pBytes, unsigned long nCount, BYTE* pSum)
{
    *pSum = WireFormat::AddToSum(*pSum, pBytes, nCount);
    return m_pComms && m_pComms->WriteBytes(pBytes, nCount, false);
}

bool CFLASHProtocol::WaitForAnswer(BYTE* pAnswer, int nSeconds)
{
    // GetTimedResponse leaves the expected byte alone only when it came or
    // nothing did; the acknowledge serves as that marker.
    BYTE by = kAck;
    const bool bMatched = m_pComms->GetTimedResponse(&by, nSeconds);
    if (m_pComms->WaitWasCancelled())
        OweAnswers(1, nSeconds);
    if (!bMatched && by == kAck)
        return false;
    *pAnswer = by;
    return true;
}

bool CFLASHProtocol::ReadErrorCode(BYTE errorReply, BYTE* pCode)
{
    if (!m_pComms->ReadBytes(pCode, 1, nullptr, false))
        return false;
    const CString text = ErrorCodeText(errorReply, *pCode);
    if (!text.IsEmpty())
        DisplayMessage(text, 0);
    return true;
}

void CFLASHProtocol::ReportUnexpected(BYTE answer, const char* pszCommand)
{
    CString text;
    text.Format("Unexpected answer H'%02X from the boot program to the %s command", answer, pszCommand);
    DisplayError(text, 0);
}

bool CFLASHProtocol::RequestLineSize(unsigned short& lineSize)
{
    if (!m_pComms)
        return false;
    CStatusForward attached(m_pComms, this, feRestore);
    if (!SettleOwedAnswer())
        return false;
    DisplayMessage("Sending inquiry for getting line size", 0);
    m_byLastCommand = kLineSizeInquiry;
    BYTE head[2] = {};
    bool bResult = SendByte(kLineSizeInquiry) && m_pComms->ReadBytes(head, 2, nullptr, false) &&
                   head[0] == kLineSizeReply && head[1] >= 2;
    lineSize = 0;
    if (bResult) {
        BYTE value[255] = {};
        BYTE sum = 0;
        bResult = m_pComms->ReadBytes(value, head[1], nullptr, false);
        if (bResult)
            lineSize = static_cast<unsigned short>(WireFormat::GetBigEndian(value, 2));
        bResult = bResult && m_pComms->ReadBytes(&sum, 1, nullptr, false);
    }
    if (!bResult)
        DisplayMessage("Unable to get line size", 0);
    return bResult;
}

bool CFLASHProtocol::RequestBootProgramStatus(unsigned char* pStatus)
{
    if (!m_pComms)
        return false;
    CStatusForward attached(m_pComms, this, feRestore);
    if (!SettleOwedAnswer())
        return false;
    m_byLastCommand = kStatusInquiry;
    // Answer code, length, status, error, sum check.
    BYTE answer[5] = {};
    if (!SendByte(kStatusInquiry) || !m_pComms->ReadBytes(answer, sizeof answer, nullptr, false))
        return false;
    if (answer[3] != 0) {
        CString text;
        text.Format("The boot program reports error H'%02X", answer[3]);
        DisplayAdvancedMessage(text, 0);
        return false;
    }
    if (pStatus)
        *pStatus = answer[2];
    return true;
}

bool CFLASHProtocol::DownloadFunction_ProtocolB(int function, unsigned long length, unsigned char* pCode)
{
    BYTE request = 0;
    BYTE errorReply = 0;
    if (function == fnWrite) {
        request = kWriteModuleRequest;
        errorReply = kWriteModuleError;
    } else if (function == fnErase) {
        request = kEraseModuleRequest;
        errorReply = kEraseModuleError;
    } else {
        return false;
    }
    if (!m_pComms || (!pCode && length > 0))
        return false;
    CStatusForward attached(m_pComms, this, feRestore);
    if (!SettleOwedAnswer())
        return false;
    m_byLastCommand = request;
    BYTE answer = 0;
    bool bResult = SendByte(request) && m_pComms->ReadBytes(&answer, 1, nullptr, false);
    if (bResult && answer == kAck) {
        const auto header = WireFormat::BigEndian<4>(length);
        BYTE sum = 0;
        bResult = SendSummed(header.data(), 4, &sum) && (length == 0 || SendSummed(pCode, length, &sum)) &&
                  SendByte(WireFormat::SumCheck(sum)) && m_pComms->ReadBytes(&answer, 1, nullptr, false);
        if (bResult && answer != kAck) {
            BYTE code = 0;
            bResult = answer == errorReply && m_pComms->ReadBytes(&code, 1, nullptr, false) && code == 0;
            if (answer == errorReply && code != 0) {
                CString text;
                text.Format("The boot program refused the module: error code H'%02X", code);
                DisplayAdvancedMessage(text, 0);
            }
        }
    }
    // Any other first answer: the boot program wants no module now.
    DisplayMessage(bResult ? "Download operation module successfully" : "Unable to download operation module", 0);
    return bResult;
}

bool CFLASHProtocol::SendEraseFrame(BYTE count, BYTE block)
{
    m_byLastCommand = kEraseBlockB;
    const BYTE frame[3] = {kEraseBlockB, count, block};
    BYTE sum = 0;
    if (!SendSummed(frame, 3, &sum) || !SendByte(WireFormat::SumCheck(sum)))
        return false;
    BYTE answer = 0;
    if (!WaitForAnswer(&answer, static_cast<int>(Settings::EraseTimeout.Read())))
        return false;
    if (answer == kAck)
        return true;
    BYTE code = 0;
    if (answer == kEraseError)
        ReadErrorCode(answer, &code);
    else
        ReportUnexpected(answer, "erase");
    return false;
}

bool CFLASHProtocol::EraseFLASHBlock_ProtocolB(int block, int count)
{
    if (!m_pComms)
        return false;
    CStatusForward attached(m_pComms, this, feRestore);
    if (!SettleOwedAnswer())
        return false;
    if (block < 0 || block > kLastBlockNumber || count < 1 || count > 0xFF) {
        CString text;
        text.Format("Erase block number %d (count %d) cannot be sent to the boot program", block, count);
        DisplayError(text, 0);
        return false;
    }
    return SendEraseFrame(static_cast<BYTE>(count), static_cast<BYTE>(block));
}

bool CFLASHProtocol::EraseFLASHBlock_End()
{
    if (!m_pComms)
        return false;
    CStatusForward attached(m_pComms, this, feRestore);
    if (!SettleOwedAnswer())
        return false;
    return SendEraseFrame(0x01, 0xFF);
}

bool CFLASHProtocol::BlankCheck_ProtocolB(bool* pBlank, unsigned long, unsigned long)
{
    if (!m_pComms || !pBlank)
        return false;
    CStatusForward attached(m_pComms, this, feRestore);
    if (!SettleOwedAnswer())
        return false;
    *pBlank = true;
    m_byLastCommand = kBlankCheckB;
    BYTE answer = 0;
    if (!SendByte(kBlankCheckB) || !WaitForAnswer(&answer, static_cast<int>(Settings::CheckBlankTimeout.Read())))
        return false;
    if (answer == kAck)
        return true;
    if (answer == kNotBlank) {
        // The code only says where the check stopped: not blank is the answer.
        BYTE code = 0;
        *pBlank = false;
        return m_pComms->ReadBytes(&code, 1, nullptr, false);
    }
    ReportUnexpected(answer, "blank check");
    return false;
}

bool CFLASHProtocol::ReadData_ProtocolB(unsigned long start, unsigned long length, unsigned char* pBuffer)
{
    if (!m_pComms || (!pBuffer && length > 0))
        return false;
    CStatusForward attached(m_pComms, this, feRestore);
    if (!SettleOwedAnswer())
        return false;
    BeginRead(length);
    for (int nTry = 0;; ++nTry) {
        const DWORD before = GetProgress();
        const eReadEnd end = ReadReply_ProtocolB(start, length, pBuffer);
        if (end != reBadSum)
            return end != reFailed;
        CString text;
        if (nTry == kReadRestarts) {
            text.Format("'%s:' the read reply for H'%08lX + H'%08lX failed its sum check %d times",
                        m_pComms->GetPortName(), start, length, nTry + 1);
            DisplayError(text, 15005);
            return false;
        }
        text.Format("The read reply for H'%08lX + H'%08lX failed its sum check: asking for it again", start, length);
        DisplayAdvancedMessage(text, 0);
        GetProgress() = before;
        DrainLine();
        m_pComms->SetTimeouts(ttDefault);
    }
}

CFLASHProtocol::eReadEnd CFLASHProtocol::ReadReply_ProtocolB(unsigned long start, unsigned long length,
                                                             unsigned char* pBuffer)
{
    m_byLastCommand = kReadB;
    BYTE frame[11] = {kReadB, 0x09, 0x00};
    WireFormat::PutBigEndian(start, 4, frame + 3);
    WireFormat::PutBigEndian(length, 4, frame + 7);
    // Byte by byte: the frame stops at the first failed send.
    BYTE sum = 0;
    for (BYTE by : frame) {
        if (!SendSummed(&by, 1, &sum))
            return reFailed;
    }
    BYTE answer = 0;
    if (!SendByte(WireFormat::SumCheck(sum)) || !m_pComms->ReadBytes(&answer, 1, nullptr, false))
        return reFailed;
    if (answer == kReadError) {
        BYTE code = 0;
        ReadErrorCode(answer, &code);
        return reFailed;
    }
    if (answer != kReadB) {
        ReportUnexpected(answer, "read");
        return reFailed;
    }
    // The length the target announces; the data phase goes by the length asked for.
    BYTE announced[4] = {};
    if (!m_pComms->ReadBytes(announced, 4, nullptr, false))
        return reFailed;
    BYTE replySum = WireFormat::AddToSum(kReadB, announced, 4);

    int nBudget = kReadRetries;
    unsigned long remaining = length;
    while (remaining > 0 && nBudget > 0) {
        const unsigned long chunk = remaining < kReadChunk ? remaining : kReadChunk;
        unsigned long received = 0;
        m_pComms->ReadBytes(pBuffer, chunk, &received, false);
        if (received < chunk) {
            if (m_bCancelled) {
                m_pComms->DiscardInFlight();
                m_pComms->SetTimeouts(ttDefault);
                return reDone;
            }
            m_pComms->FlushBuffers();
            --nBudget;
        }
        replySum = WireFormat::AddToSum(replySum, pBuffer, received);
        pBuffer += received;
        remaining -= received;
        GetProgress() += static_cast<DWORD>(received);
    }
    if (remaining > 0) {
        ReportReadTimeOut();
        return reFailed;
    }
    // Without its sum a bent data byte would pass for the chip's own.
    BYTE closing = 0;
    if (!m_pComms->ReadBytes(&closing, 1, nullptr, false))
        return reFailed;
    return WireFormat::SumChecks(replySum, closing) ? reDone : reBadSum;
}

bool CFLASHProtocol::WriteVerifyFLASHData_ProtocolB(unsigned long start, unsigned long length, unsigned char* pData,
                                                    unsigned long)
{
    if (!m_pComms || !m_pDeviceID || (!pData && length > 0))
        return false;
    const unsigned long line = m_pDeviceID->GetLineSize();
    if (line == 0 && length > 0) {
        DisplayError("The boot program's line size is 0: nothing can be written", 0);
        return false;
    }
    CStatusForward attached(m_pComms, this, feRestore);
    if (!SettleOwedAnswer())
        return false;
    m_bCancelled = false;
    unsigned long address = start;
    unsigned long remaining = length;
    while (remaining > 0) {
        const unsigned long chunk = remaining < line ? remaining : line;
        m_byLastCommand = kWriteLine;
        BYTE head[5] = {kWriteLine};
        WireFormat::PutBigEndian(address, 4, head + 1);
        BYTE sum = 0;
        if (!SendSummed(head, 5, &sum)) {
            // Without its address the line cannot be sent at all.
            DisplayMessage("Unable to download file", 0);
            return false;
        }
        if (!SendSummed(pData, chunk, &sum)) {
            DisplayError("Data transfer failed", 0);
            return false;
        }
        if (m_pDevice)
            m_pDevice->OnWriteBlock(address, chunk);
        address += chunk;
        pData += chunk;

        BYTE answer = 0;
        if (!SendByte(WireFormat::SumCheck(sum)) || !m_pComms->ReadBytes(&answer, 1, nullptr, false)) {
            DisplayError("Failed to receive acknowledge byte.", 0);
            return false;
        }
        if (answer == kWriteError) {
            BYTE code = 0;
            if (!ReadErrorCode(answer, &code)) {
                DisplayError("Failed to receive acknowledge byte.", 0);
                return false;
            }
            if (code != 0)
                return false;
        } else if (answer != kAck) {
            CString text;
            text.Format("Unexpected answer H'%02X to a written line taken as an acknowledge", answer);
            DisplayWarning(text, 0);
        }
        if (m_bCancelled)
            return false;
        GetProgress() += static_cast<DWORD>(chunk);
        remaining -= chunk;
    }
    return true;
}
