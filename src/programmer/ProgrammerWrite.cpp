// Writing an image and verifying it by reading it back.
#include <algorithm>
#include <cstdint>
#include <vector>

#include "devicedb/BlockItem.h"
#include "operations/SettingsKeys.h"
#include "platform/Time.h"
#include "platform/WireFormat.h"
#include "programmer/FLASHProgrammer.h"

namespace {
struct SRange
{
    DWORD nStart;
    DWORD nLength;
};

// The image's contiguous ranges, aligned to the device's line size.
std::vector<SRange> CollectRanges(CFLASHBinaryImage* pImage, unsigned short nLineSize)
{
    std::vector<SRange> ranges;
    DWORD nPosition = 0;
    do {
        DWORD nFirst = 0;
        DWORD nLast = 0;
        DWORD nLength = 0;
        const DWORD nNext = pImage->GetContiguousDataRange(nPosition, nLineSize, &nFirst, &nLast, &nLength);
        if (nLength == 0)
            break;
        ranges.push_back({nFirst, nLast - nFirst + 1});
        // A position that does not move on would repeat the same range forever.
        if (nNext <= nPosition)
            break;
        nPosition = nNext;
    } while (nPosition != 0);
    return ranges;
}

// The parts of what the file set that hold only H'FF and are not written:
// the image keeps such runs as blank.
std::vector<SRange> BlankSpans(CFLASHBinaryImage* pImage, const std::vector<SRange>& written, DWORD nFLASH)
{
    std::vector<SRange> spans;
    const auto add = [&](std::uint64_t nFirst, std::uint64_t nEnd) {
        nEnd = std::min<std::uint64_t>(nEnd, nFLASH);
        if (nFirst >= nEnd)
            return;
        if (!spans.empty() && std::uint64_t(spans.back().nStart) + spans.back().nLength == nFirst)
            spans.back().nLength += static_cast<DWORD>(nEnd - nFirst);
        else
            spans.push_back({static_cast<DWORD>(nFirst), static_cast<DWORD>(nEnd - nFirst)});
    };
    DWORD nFirst = 0;
    DWORD nLast = 0;
    DWORD nFrom = 0;
    int nIndex = -1;
    while ((nIndex = pImage->GetNextFileLoadRangeByIndex(nIndex, nFrom, &nFirst, &nLast)) >= 0) {
        std::uint64_t nPos = nFirst;
        for (const SRange& range : written) {
            const std::uint64_t nEnd = std::uint64_t(range.nStart) + range.nLength;
            if (nEnd <= nPos || range.nStart > nLast)
                continue;
            add(nPos, range.nStart);
            nPos = nEnd;
        }
        add(nPos, std::uint64_t(nLast) + 1);
        if (nLast == 0xFFFFFFFFu)
            break;
        nFrom = nLast + 1;
    }
    return spans;
}

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
    const std::vector<SRange> ranges = CollectRanges(pImage, pID ? pID->GetLineSize() : 1);

    // Nothing may go to addresses the device does not have.
    const DWORD nFLASH = m_pDevice->GetFLASHSize() ? m_pDevice->GetFLASHSize() : m_pDeviceInfo->m_dwFLASHROMSize;
    for (const SRange& range : ranges) {
        if (range.nStart >= nFLASH || range.nLength > nFLASH - range.nStart) {
            CString text;
            text.Format("The image holds data at H'%08lX - H'%08lX, outside the device's FLASH (H'00000000 - "
                        "H'%08lX)",
                        static_cast<unsigned long>(range.nStart),
                        static_cast<unsigned long>(range.nStart + range.nLength - 1),
                        static_cast<unsigned long>(nFLASH - 1));
            DisplayError(text, 0);
            return false;
        }
    }

    // H'FF the file sets must read back as H'FF: its blocks are erased like
    // those of the data.
    const std::vector<SRange> blanks = BlankSpans(pImage, ranges, nFLASH);
    DWORD nTotal = 0;
    bool bEraseNeeded = false;
    for (const std::vector<SRange>* pRanges : {&ranges, &blanks}) {
        for (const SRange& range : *pRanges) {
            const DWORD nEnd = range.nStart + range.nLength - 1;
            for (CObject* pObject : m_pDeviceInfo->m_EraseBlocks) {
                auto* pBlock = static_cast<CBlockItem*>(pObject);
                if (pBlock->m_bWritten &&
                    pBlock->IsBlockAddress(static_cast<long>(range.nStart), static_cast<long>(nEnd))) {
                    pBlock->m_bEraseRequest = TRUE;
                    bEraseNeeded = true;
                }
            }
            GetProgress() = nEnd;
        }
    }
    for (const SRange& range : ranges)
        nTotal += range.nLength;

    std::vector<const CBlockItem*> erased;
    if (bEraseNeeded && m_ProtectionType != ptNeverErase) {
        bool bErased = false;
        for (CObject* pObject : m_pDeviceInfo->m_EraseBlocks) {
            auto* pBlock = static_cast<CBlockItem*>(pObject);
            if (!pBlock->m_bEraseRequest)
                continue;
            if (m_ProtectionType == ptAskBeforeErase) {
                const eQueryType answer = QueryUser(
                    BlockText(true, pBlock),
                    qtYesNoCancel);
                if (answer == qtCancel) {
                    // This thread holds the lock, so Cancel would find it free:
                    // the flag is left for the caller directly.
                    m_bCancel = true;
                    return true;
                }
                if (answer != qtYes)
                    continue;
            } else {
                DisplayMessage(BlockText(false, pBlock), 0);
            }
            if (!EraseBlock(pBlock)) {
                DisplayError("", 15025);
                return false;
            }
            erased.push_back(pBlock);
            bErased = true;
        }
        if (bErased) {
            Sleep(200);
            DisplayMessage("Erase complete.", 0);
            if (m_nProtocol == 1)
                m_pDevice->EraseFLASHBlock_End();
            if (!BlocksKeptTheirData())
                return false;
        }
    }
    // Which H'FF spans may still hold something else: classic block usage
    // tells which blocks held data; Protocol B does not say.
    std::vector<SRange> doubtful;
    for (const SRange& span : blanks) {
        for (CObject* pObject : m_pDeviceInfo->m_EraseBlocks) {
            const auto* pBlock = static_cast<const CBlockItem*>(pObject);
            const std::uint64_t nBlockEnd = std::uint64_t(static_cast<DWORD>(pBlock->m_lStart)) + pBlock->m_lSize;
            const std::uint64_t nFirst = std::max<std::uint64_t>(span.nStart, static_cast<DWORD>(pBlock->m_lStart));
            const std::uint64_t nEnd = std::min<std::uint64_t>(std::uint64_t(span.nStart) + span.nLength, nBlockEnd);
            if (nFirst >= nEnd || std::find(erased.begin(), erased.end(), pBlock) != erased.end())
                continue;
            if (m_nProtocol == 1 || pBlock->m_bWritten)
                doubtful.push_back({static_cast<DWORD>(nFirst), static_cast<DWORD>(nEnd - nFirst)});
        }
    }

    GetProgress() = 0;
    const DWORD nFirstCount = nTotal ? nTotal : 1;
    DisplayMessage("Writing image to device", 0);
    SetProgressRange(0, nFirstCount);

    CStringList positions;
    DWORD nWritten = 0;
    for (const SRange& range : ranges) {
        nWritten += range.nLength;
        std::vector<unsigned char> buffer(range.nLength);
        pImage->GetData(range.nStart, buffer.data(), range.nLength);
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
            GetProgress() = 100;
            return true;
        }
        CString position;
        position.Format(" H'%08lX - H'%08lX      Length : H'%08lX", static_cast<unsigned long>(range.nStart),
                        static_cast<unsigned long>(range.nStart + range.nLength - 1),
                        static_cast<unsigned long>(range.nLength));
        positions.AddTail(position);
    }

    if (!ranges.empty() && m_nProtocol == 1) {
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
    }

    for (const SRange& span : doubtful)
        if (!m_bCancel && !ReadsBlank(span.nStart, span.nLength))
            return false;

    GetProgress() = 0;
    SetProgressRange(0, 100);
    GetProgress() = 100;
    device.End();
    comms.End();

    CString timing;
    timing.Format("%s programmed in %ld seconds", static_cast<const char*>(WireFormat::SizeText(nWritten)),
                  static_cast<long>((GetTickCount() - nStartTick) / 1000));
    positions.AddTail(timing);
    if (!positions.IsEmpty()) {
        DisplayTaskMessage("Data programmed at the following positions:", 0);
        while (!positions.IsEmpty())
            DisplayMessage(positions.RemoveHead(), 0);
    }
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
    std::vector<SRange> ranges = CollectRanges(pWritten, pID ? pID->GetLineSize() : 1);
    const std::vector<SRange> blanks = BlankSpans(pWritten, ranges, m_pDevice->GetFLASHSize());
    ranges.insert(ranges.end(), blanks.begin(), blanks.end());
    for (const SRange& range : ranges) {
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
