// Writing an image and verifying it by reading it back.
#include <algorithm>
#include <cstdint>
#include <vector>

#include "devicedb/BlockItem.h"
#include "platform/SettingsKeys.h"
#include "platform/Time.h"
#include "platform/WireFormat.h"
#include "programmer/WritePlan.h"

namespace {
// The erase question, or the erase announcement.
CString BlockText(bool bQuestion, const CBlockItem* pBlock)
{
    const char* pszName = pBlock->m_strBlockName;
    const auto nFirst = static_cast<unsigned long>(static_cast<DWORD>(pBlock->m_lStart));
    const auto nLast = static_cast<unsigned long>(static_cast<DWORD>(pBlock->m_lStart + pBlock->m_lSize - 1));
    CString text;
    if (bQuestion)
        text.Format("The block %s (H'%08lX - H'%08lX) should be erased before writing.\nWould you like to erase "
                    "this block?",
                    pszName, nFirst, nLast);
    else
        text.Format("Erasing block %s (H'%08lX - H'%08lX)", pszName, nFirst, nLast);
    return text;
}

void ReportOutside(CStatusUpdate& sink, const SWriteRange& range, DWORD nFLASH)
{
    CString text;
    text.Format("The image holds data at H'%08lX - H'%08lX, outside the device's FLASH (H'00000000 - H'%08lX)",
                static_cast<unsigned long>(range.nStart), static_cast<unsigned long>(range.Last()),
                static_cast<unsigned long>(nFLASH - 1));
    sink.DisplayError(text, 0);
}

void ReportPositions(CStatusUpdate& sink, const CWritePlan& plan, DWORD nStartTick)
{
    CString timing;
    timing.Format("%s programmed in %ld seconds", static_cast<const char*>(WireFormat::SizeText(plan.Total())),
                  static_cast<long>((GetTickCount() - nStartTick) / 1000));
    sink.DisplayTaskMessage("Data programmed at the following positions:", 0);
    for (const SWriteRange& range : plan.Ranges()) {
        CString position;
        position.Format(" H'%08lX - H'%08lX      Length : H'%08lX", static_cast<unsigned long>(range.nStart),
                        static_cast<unsigned long>(range.Last()), static_cast<unsigned long>(range.nLength));
        sink.DisplayMessage(position, 0);
    }
    sink.DisplayMessage(timing, 0);
}

constexpr BYTE kCloseFrame[] = {0x50, 0xFF, 0xFF, 0xFF, 0xFF};
constexpr BYTE kCloseAcknowledge = 0x06;
} // namespace

bool CFLASHProgrammer::WriteImage(CFLASHBinaryImage* pImage)
{
    CSingleLock lock(m_pLock, true);
    CBusy busy(m_bBusy);
    m_bCancel = false;
    Connect();
    if (!m_bConnected || !m_pDevice || !m_pDeviceInfo)
        return false;
    if (!pImage) {
        DisplayError("No image to write", 0);
        return false;
    }
    GetProgress() = 0;
    SetProgressString("Processing image data");
    CStatusForward device(m_pDevice, this, feDetach);
    CStatusForward comms(m_pComms, this, feDetach);

    const DWORD nStartTick = GetTickCount();
    SetProgressRange(0, pImage->GetImageSize());
    const CFLASHDeviceID* pID = m_pDevice->GetDeviceID();
    const DWORD nFLASH = m_pDevice->GetFLASHSize() ? m_pDevice->GetFLASHSize() : m_pDeviceInfo->m_dwFLASHROMSize;
    const CWritePlan plan(*pImage, pID ? pID->GetLineSize() : 1, nFLASH, m_pDeviceInfo->m_EraseBlocks,
                          m_ProtectionType);
    // Nothing may go to addresses the device does not have.
    if (const SWriteRange* pOutside = plan.Outside()) {
        ReportOutside(*this, *pOutside, nFLASH);
        return false;
    }
    for (CBlockItem* pBlock : plan.Touched())
        pBlock->m_bEraseRequest = TRUE;
    GetProgress() = plan.ScannedTo();

    std::vector<const CBlockItem*> erased;
    bool bCancelled = false;
    if (!EraseForWrite(plan, &erased, &bCancelled))
        return false;
    if (bCancelled)
        return true;
    const std::vector<SWriteRange> doubtful = plan.DoubtfulSpans(erased, m_nProtocol == 1);

    GetProgress() = 0;
    DisplayMessage("Writing image to device", 0);
    SetProgressRange(0, plan.Total() ? plan.Total() : 1);
    if (!WriteRanges(*pImage, plan, &bCancelled))
        return false;
    if (bCancelled) {
        GetProgress() = 100;
        return true;
    }
    if (!plan.Ranges().empty() && m_nProtocol == 1 && !CloseProtocolBWrite())
        return false;
    for (const SWriteRange& span : doubtful)
        if (!m_bCancel && !ReadsBlank(span.nStart, span.nLength))
            return false;

    GetProgress() = 0;
    SetProgressRange(0, 100);
    GetProgress() = 100;
    device.End();
    comms.End();
    ReportPositions(*this, plan, nStartTick);
    if (m_bCancel)
        return true;
    DisplaySuccessMessage("Image successfully written to device", 0);

    const unsigned nVerify = Settings::ReadbackVerify.Read();
    if (nVerify == 0) {
        if (QueryUser("Would you like to perform read-back verification?", qtYesNo) != qtYes)
            return true;
        return ReadbackVerify(pImage);
    }
    if (nVerify == 2)
        return true;
    return ReadbackVerify(pImage);
}

bool CFLASHProgrammer::EraseForWrite(const CWritePlan& plan, std::vector<const CBlockItem*>* pErased,
                                     bool* pCancelled)
{
    for (const CWritePlan::SErase& step : plan.Erasures()) {
        if (step.bAsk) {
            const eQueryType answer = QueryUser(BlockText(true, step.pBlock), qtYesNoCancel);
            if (answer == qtCancel) {
                // This thread holds the lock, so Cancel would find it free:
                // the flag is left for the caller directly.
                m_bCancel = true;
                *pCancelled = true;
                return true;
            }
            if (answer != qtYes)
                continue;
        } else {
            DisplayMessage(BlockText(false, step.pBlock), 0);
        }
        if (!EraseBlock(step.pBlock)) {
            DisplayError("", 15025);
            return false;
        }
        pErased->push_back(step.pBlock);
    }
    if (pErased->empty())
        return true;
    Sleep(200);
    DisplayMessage("Erase complete.", 0);
    if (m_nProtocol == 1)
        m_pDevice->EraseFLASHBlock_End();
    // The blocks meant are written and read back next; only the others need
    // a look now.
    return ErasedAsAsked({});
}

bool CFLASHProgrammer::WriteRanges(CFLASHBinaryImage& image, const CWritePlan& plan, bool* pCancelled)
{
    for (const SWriteRange& range : plan.Ranges()) {
        std::vector<unsigned char> buffer(range.nLength);
        image.GetData(range.nStart, buffer.data(), range.nLength);
        SetProgressString("Writing image to device");
        if (!m_bCancel) {
            const bool bWrote =
                m_nProtocol == 1
                    ? m_pDevice->WriteVerifyFLASH_ProtocolB(range.nStart, range.nLength, buffer.data(), 100)
                    : m_pDevice->WriteVerifyFLASH(range.nStart, range.nLength, buffer.data(), 100);
            if (!bWrote && !m_bCancel)
                return false;
        }
        if (m_bCancel) {
            *pCancelled = true;
            return true;
        }
    }
    return true;
}

bool CFLASHProgrammer::CloseProtocolBWrite()
{
    bool bSent = true;
    for (BYTE b : kCloseFrame)
        bSent = bSent && m_pComms->WriteByte(b);
    const BYTE sum = WireFormat::AddToSum(0, kCloseFrame, sizeof kCloseFrame);
    bSent = bSent && m_pComms->WriteByte(WireFormat::SumCheck(sum));
    unsigned char reply = 0;
    if (!bSent || !m_pComms->ReadBytes(&reply, 1, nullptr, true) || reply != kCloseAcknowledge) {
        DisplayMessage("Unable to write image", 0);
        return false;
    }
    return true;
}

bool CFLASHProgrammer::ReadbackVerify(CFLASHBinaryImage* pWritten)
{
    CSingleLock lock(m_pLock, true);
    CBusy busy(m_bBusy);
    if (!pWritten || !m_pDevice)
        return false;
    CFLASHBinaryImage* pRead = CreateImage();
    if (!pRead)
        return false;
    const CFLASHDeviceID* pID = m_pDevice->GetDeviceID();
    // The H'FF the file sets is read back too: the comparison below sees
    // only what was read.
    std::vector<SWriteRange> ranges = CWritePlan::DataRanges(*pWritten, pID ? pID->GetLineSize() : 1);
    const std::vector<SWriteRange> blanks = CWritePlan::BlankSpans(*pWritten, ranges, m_pDevice->GetFLASHSize());
    ranges.insert(ranges.end(), blanks.begin(), blanks.end());
    for (const SWriteRange& range : ranges) {
        if (!ReadImage(1, pRead, range.nStart, range.nLength)) {
            DisplayError("", 15027);
            delete pRead;
            return false;
        }
        if (m_bCancel)
            break;
    }
    if (m_bCancel) {
        delete pRead;
        return true;
    }
    DisplayMessage("Comparing images", 0);
    SetProgressString("Comparing images");
    const DWORD n = pWritten->GetImageSize();
    GetProgress() = 0;
    SetProgressRange(0, n);
    unsigned long nSumWritten = 0;
    unsigned long nSumRead = 0;
    bool bResult = true;
    for (DWORD i = 0; i < n && !m_bCancel; ++i) {
        GetProgress() = i;
        const BYTE w = pWritten->GetDataByte(i);
        const BYTE r = pRead->GetDataByte(i);
        nSumWritten += w;
        nSumRead += r;
        if (w != r) {
            CString text;
            text.Format("Values at index %8.8x not equal Wrote 0x%x, Read 0x%x", static_cast<unsigned>(i),
                        static_cast<unsigned>(w), static_cast<unsigned>(r));
            DisplayWarning(text, 15029);
            bResult = false;
        }
    }
    if (!m_bCancel) {
        if (bResult && nSumWritten == nSumRead) {
            DisplaySuccessMessage("Verification OK. You have successfully programmed the device", 0);
        } else {
            DisplayError("", 15030);
            bResult = false;
        }
    }
    delete pRead;
    return bResult;
}

bool CFLASHProgrammer::ReadsBlank(DWORD nStart, DWORD nLength)
{
    std::vector<unsigned char> buffer(nLength);
    const bool bRead = m_nProtocol == 1 ? m_pDevice->ReadData_ProtocolB(nStart, nLength, buffer.data())
                                        : m_pDevice->ReadData(nStart, nLength, buffer.data());
    CString text;
    if (!bRead) {
        text.Format("Could not read H'%08lX - H'%08lX back, where the file sets H'FF", static_cast<unsigned long>(nStart),
                    static_cast<unsigned long>(nStart + nLength - 1));
        DisplayError(text, 0);
        return false;
    }
    const auto it = std::find_if(buffer.begin(), buffer.end(), [](unsigned char b) { return b != 0xFF; });
    if (it == buffer.end() || m_bCancel)
        return true;
    const auto nAt = static_cast<unsigned long>(nStart + (it - buffer.begin()));
    text.Format("The file sets H'FF at H'%08lX - H'%08lX, but the device holds H'%02X at H'%08lX: its block was not "
                "erased",
                static_cast<unsigned long>(nStart), static_cast<unsigned long>(nStart + nLength - 1),
                static_cast<unsigned>(*it), nAt);
    DisplayError(text, 0);
    return false;
}
