#include "image/BinaryImage.h"

#include <algorithm>
#include <cstring>

#include "image/BinaryImageFile.h"
#include "platform/HostUI.h"

namespace {
constexpr std::uint64_t kAddressSpace = 0x100000000ull;
constexpr DWORD kTopAddress = 0xFFFFFFFFu;
constexpr DWORD kBlockRecord = sizeof(CDataBlock);
constexpr const char* kSetFullNotice = "No more memory can be allocated - clear some data.";

std::uint64_t RoundUp(std::uint64_t nValue, DWORD nAlignment)
{
    if (nAlignment <= 1)
        return nValue;
    return (nValue + nAlignment - 1) / nAlignment * nAlignment;
}

// Calls fn(offset, length, isData) for each run of the bytes, in address order.
// Without the threshold a run is a stretch of all-H'FF (blank) or all-other
// (data) bytes. With it, only a stretch of at least nThreshold H'FF bytes is
// blank; shorter ones stay inside the data around them.
template <typename Fn>
void ForEachRun(const BYTE* pBytes, DWORD nLength, bool bThreshold, DWORD nThreshold, Fn&& fn)
{
    // A threshold of 0 would make every byte a split point; it acts as 1.
    const DWORD nT = nThreshold ? nThreshold : 1;
    DWORD i = 0;
    while (i < nLength) {
        if (!bThreshold) {
            const bool bBlank = pBytes[i] == 0xFF;
            DWORD j = i + 1;
            while (j < nLength && (pBytes[j] == 0xFF) == bBlank)
                ++j;
            fn(i, j - i, !bBlank);
            i = j;
            continue;
        }
        if (pBytes[i] == 0xFF) {
            DWORD j = i;
            while (j < nLength && pBytes[j] == 0xFF)
                ++j;
            if (j - i >= nT) {
                fn(i, j - i, false);
                i = j;
                continue;
            }
        }
        DWORD nEnd = nLength;
        DWORD nBlanks = 0;
        for (DWORD j = i; j < nLength; ++j) {
            if (pBytes[j] != 0xFF) {
                nBlanks = 0;
            } else if (++nBlanks >= nT) {
                nEnd = j + 1 - nT;
                break;
            }
        }
        fn(i, nEnd - i, true);
        i = nEnd;
    }
}

CString RangeLine(DWORD nFirst, DWORD nLast)
{
    CString text;
    text.Format("H'%08lX - H'%08lX      Length : H'%08lX", static_cast<unsigned long>(nFirst),
                static_cast<unsigned long>(nLast),
                static_cast<unsigned long>(std::uint64_t(nLast) - nFirst + 1));
    return text;
}
} // namespace

// ---------------------------------------------------------------------------
// Construction

CBinaryImage::CBinaryImage(int nSize)
    : m_bDynamic(nSize < 1 ? TRUE : FALSE), m_nImageSize(nSize < 1 ? 0 : static_cast<DWORD>(nSize))
{
    GetProgress() = 0;
}

CBinaryImage::~CBinaryImage()
{
    // No notification from a dying image.
    for (DATA_INFO* pSet : {&m_ImageData, &m_FileLoadRanges, &m_UndoData, &m_RedoData, &m_UndoRanges, &m_RedoRanges})
        DeleteAllBlocks(pSet);
}

// ---------------------------------------------------------------------------
// Slots 1-7

int CBinaryImage::SaveFile(const char* pszName, DWORD nStart, DWORD nEnd, int bKeepHistory)
{
    CBinaryImageFile file;
    file.SetStatusUpdate(this);
    return file.SaveFile(pszName, nStart, nEnd, this, 0, bKeepHistory);
}

int CBinaryImage::LoadFile(const char* pszName)
{
    CBinaryImageFile file;
    file.SetStatusUpdate(this);
    return file.LoadFile(pszName, this, 0);
}

void CBinaryImage::SetUploadedDataFlag(bool bUploaded)
{
    m_bUploadedData = bUploaded;
}

bool CBinaryImage::GetUploadedDataFlag() const
{
    return m_bUploadedData;
}

int CBinaryImage::OnFPRRead(FILE*)
{
    return 1;
}

int CBinaryImage::OnFPRWrite(FILE*)
{
    return 1;
}

DWORD CBinaryImage::GetCacheMemoryUsed() const
{
    return m_nMemoryUsed;
}

// ---------------------------------------------------------------------------
// Reading and writing

void CBinaryImage::GetData(DWORD nFrom, DWORD nTo, BYTE* pOut, DATA_INFO* pSet)
{
    if (!pOut || !pSet || nFrom > nTo)
        return;
    std::memset(pOut, 0xFF, std::size_t(nTo - nFrom) + 1);
    // The range sets hold addresses only.
    if (!CarriesData(pSet))
        return;
    if (IsLayered(pSet)) {
        std::uint64_t nAt = nFrom;
        DWORD nPieceEnd = 0;
        int i;
        while ((i = NextLayerPiece(nAt, nTo, pSet, nPieceEnd)) >= 0) {
            const DWORD nAddress = static_cast<DWORD>(nAt);
            std::memcpy(pOut + (nAddress - nFrom), pSet->GetAt(i)->GetData(nAddress),
                        std::size_t(nPieceEnd - nAddress) + 1);
            nAt = std::uint64_t(nPieceEnd) + 1;
        }
        return;
    }
    for (int i = FindBlockBeforeAddress(nFrom, pSet) + 1; i < pSet->GetCount(); ++i) {
        CDataBlock* pBlock = pSet->GetAt(i);
        if (pBlock->GetStartAddress() > nTo)
            break;
        const DWORD nFirst = std::max(nFrom, pBlock->GetStartAddress());
        const DWORD nLast = std::min(nTo, pBlock->GetEndAddress());
        if (nFirst <= nLast)
            std::memcpy(pOut + (nFirst - nFrom), pBlock->GetData(nFirst), std::size_t(nLast - nFirst) + 1);
    }
}

int CBinaryImage::GetData(DWORD nAddress, BYTE* pOut, DWORD nLength)
{
    if (!pOut || nLength == 0 || nAddress < m_nStartAddress)
        return 0;
    if (std::uint64_t(nAddress) + nLength > WindowEnd())
        return 0;
    GetData(nAddress, nAddress + nLength - 1, pOut, &m_ImageData);
    return 1;
}

void CBinaryImage::SetData(DWORD nFrom, DWORD nLength, const BYTE* pBytes, DATA_INFO* pSet)
{
    if (!pSet || !pBytes || nLength == 0)
        return;
    std::uint64_t nBegin = nFrom;
    std::uint64_t nEnd = std::min<std::uint64_t>(std::uint64_t(nFrom) + nLength, kAddressSpace);
    nBegin = std::max<std::uint64_t>(nBegin, m_nStartAddress);
    nEnd = std::min(nEnd, WindowEnd());
    if (nBegin >= nEnd)
        return;
    const DWORD nFirst = static_cast<DWORD>(nBegin);
    const DWORD nCount = static_cast<DWORD>(nEnd - nBegin);
    const DWORD nLast = nFirst + nCount - 1;
    pBytes += nFirst - nFrom;

    // The data range the write starts in or before, to tell whether the range list changes.
    DWORD nRangeFirst = 0, nRangeLast = 0;
    const bool bNoted = pSet == &m_ImageData && NoteDataRange(nFirst, nLast, nRangeFirst, nRangeLast);

    if (!IsLayered(pSet))
        DeleteAllRange(nFirst, nLast, pSet);

    if (pSet != &m_ImageData) {
        CDataBlock* pBlock = NewBlock(nFirst, nCount, pSet, nullptr);
        if (pBlock && CarriesData(pSet))
            pBlock->SetData(nFirst, nCount, pBytes);
        return;
    }

    bool bChanged = false;
    const bool bThreshold = m_bUseThreshold && nLength >= 2;
    ForEachRun(pBytes, nCount, bThreshold, m_nBlankThreshold, [&](DWORD nOffset, DWORD nRun, bool bData) {
        const DWORD nRunFirst = nFirst + nOffset;
        const DWORD nRunLast = nRunFirst + nRun - 1;
        if (bData) {
            CDataBlock* pBlock = NewBlock(nRunFirst, nRun, pSet, nullptr);
            if (pBlock) {
                pBlock->SetData(nRunFirst, nRun, pBytes + nOffset);
                RecordArea(nRunFirst, nRun);
            }
            if (!pBlock || !bNoted || nRunFirst < nRangeFirst || nRunLast > nRangeLast)
                bChanged = true;
        } else {
            RemoveArea(nRunFirst, nRun);
            // A blank run that reaches into stored data takes some of it away.
            if (bNoted && nRunFirst <= nRangeLast && nRunLast >= nRangeFirst)
                bChanged = true;
        }
    });
    if (bChanged)
        OnBlockListChanged();
}

int CBinaryImage::SetData(DWORD nAddress, const BYTE* pBytes, DWORD nLength)
{
    if (!pBytes || nLength == 0)
        return 0;
    bool bClipped = false;
    std::uint64_t nBegin = nAddress;
    std::uint64_t nEnd = std::uint64_t(nAddress) + nLength;
    if (nEnd > kAddressSpace) {
        nEnd = kAddressSpace;
        bClipped = true;
    }
    if (m_bDynamic)
        GrowWindow(nBegin, nEnd);
    if (nBegin < m_nStartAddress) {
        nBegin = m_nStartAddress;
        bClipped = true;
    }
    if (nEnd > WindowEnd()) {
        nEnd = WindowEnd();
        bClipped = true;
    }
    if (nBegin >= nEnd)
        return 0;

    const DWORD nFirst = static_cast<DWORD>(nBegin);
    const DWORD nCount = static_cast<DWORD>(nEnd - nBegin);
    pBytes += nFirst - nAddress;
    const bool bThreshold = m_bUseThreshold && nLength >= 2;
    std::vector<BYTE> present;
    ForEachRun(pBytes, nCount, bThreshold, m_nBlankThreshold, [&](DWORD nOffset, DWORD nRun, bool) {
        const DWORD nRunFirst = nFirst + nOffset;
        present.assign(nRun, 0xFF);
        GetData(nRunFirst, present.data(), nRun);
        if (!m_bUploadedData) {
            SetData(nRunFirst, nRun, present.data(), &m_UndoData);
            SetData(nRunFirst, nRun, present.data(), &m_UndoRanges);
        } else {
            SetData(nRunFirst, nRun, present.data(), &m_FileLoadRanges);
        }
        SetData(nRunFirst, nRun, pBytes + nOffset, &m_ImageData);
    });
    return bClipped ? 0 : 1;
}

BYTE CBinaryImage::GetDataByte(DWORD nAddress)
{
    BYTE nValue = 0xFF;
    if (!GetData(nAddress, &nValue, 1))
        return 0xFF;
    return nValue;
}

int CBinaryImage::SetDataByte(DWORD nAddress, BYTE nValue)
{
    return SetData(nAddress, &nValue, 1);
}

void CBinaryImage::ClearMemory()
{
    for (DATA_INFO* pSet : {&m_ImageData, &m_FileLoadRanges, &m_UndoData, &m_RedoData, &m_UndoRanges, &m_RedoRanges})
        DeleteAllBlocks(pSet);
    // The areas describe the image data, so they go with it.
    m_Areas.Clear();
    OnBlockListChanged();
}

int CBinaryImage::IsImageDataPresent() const
{
    return m_ImageData.GetCount() > 0;
}

int CBinaryImage::Find(DWORD nFrom, DWORD nTo, const BYTE* pPattern, DWORD nLength)
{
    if (!pPattern || nLength == 0 || m_nImageSize == 0)
        return -1;
    const std::uint64_t nBegin = std::max(nFrom, m_nStartAddress);
    const std::uint64_t nEnd = std::min<std::uint64_t>(nTo, WindowEnd() - 1);
    if (nBegin > nEnd || nLength > nEnd - nBegin + 1)
        return -1;
    // Never smaller than 5000 bytes, and at least twice the pattern, so each
    // chunk tries a fair number of addresses. No larger than the range itself.
    const std::uint64_t nBuffer =
        std::min<std::uint64_t>(std::max<std::uint64_t>(5000, 2 * std::uint64_t(nLength)), nEnd - nBegin + 1);
    std::vector<BYTE> buffer(static_cast<std::size_t>(nBuffer));
    std::uint64_t nAt = nBegin;
    while (nAt <= nEnd) {
        const DWORD nChunk = static_cast<DWORD>(std::min<std::uint64_t>(nBuffer, nEnd - nAt + 1));
        if (nChunk < nLength)
            break;
        if (!GetData(static_cast<DWORD>(nAt), buffer.data(), nChunk))
            break;
        for (DWORD i = 0; i + nLength <= nChunk; ++i) {
            if (std::memcmp(buffer.data() + i, pPattern, nLength) == 0)
                return static_cast<int>(static_cast<DWORD>(nAt + i));
        }
        nAt += nChunk - nLength + 1;
    }
    return -1;
}

DWORD CBinaryImage::GetDataMemoryUsed(DWORD nFrom, DWORD nTo)
{
    return GetMemoryUsedInRange(nFrom, nTo, &m_ImageData);
}

int CBinaryImage::GetNextDataRangeByIndex(int nIndex, DWORD nFrom, DWORD* pFirst, DWORD* pLast)
{
    return GetNextMemoryRangeByIndex(nIndex, nFrom, pFirst, pLast, &m_ImageData);
}

int CBinaryImage::GetLastAddressInCache() const
{
    if (m_ImageData.GetCount() == 0)
        return -1;
    return static_cast<int>(m_ImageData.GetAt(m_ImageData.GetCount() - 1)->GetEndAddress());
}

bool CBinaryImage::NoteDataRange(DWORD nFrom, DWORD nLimit, DWORD& nFirst, DWORD& nLast)
{
    const int nCount = m_ImageData.GetCount();
    int i = FindBlockBeforeAddress(nFrom, &m_ImageData) + 1;
    if (i >= nCount)
        return false;
    nFirst = std::max(nFrom, m_ImageData.GetAt(i)->GetStartAddress());
    nLast = m_ImageData.GetAt(i)->GetEndAddress();
    // What lies beyond nLimit cannot change the verdict on a write ending there,
    // and a long run of touching blocks would make every write walk all of them.
    for (++i; i < nCount && nLast < nLimit; ++i) {
        CDataBlock* pBlock = m_ImageData.GetAt(i);
        if (std::uint64_t(pBlock->GetStartAddress()) > std::uint64_t(nLast) + 1)
            break;
        nLast = std::max(nLast, pBlock->GetEndAddress());
    }
    return true;
}

// ---------------------------------------------------------------------------
// Reports

bool CBinaryImage::ReportDataRanges()
{
    bool bAny = false;
    int nIndex = -1;
    DWORD nFrom = m_nStartAddress;
    DWORD nFirst = 0, nLast = 0;
    while ((nIndex = GetNextDataRangeByIndex(nIndex, nFrom, &nFirst, &nLast)) >= 0) {
        DisplayMessage(RangeLine(nFirst, nLast), 0);
        bAny = true;
        if (nLast == kTopAddress)
            break;
        nFrom = nLast + 1;
    }
    return bAny;
}

void CBinaryImage::DisplayBlockUsage()
{
    if (!ReportDataRanges())
        DisplayMessage("No data blocks assigned.", 0);
}

void CBinaryImage::PopupSaveEndMessage()
{
    DisplayTaskMessage("Data saved at the following positions:", 0);
    if (!ReportDataRanges())
        DisplayMessage("No data to save.", 0);
}

void CBinaryImage::PopupLoadEndMessage()
{
    DisplayTaskMessage("Data loaded at the following positions:", 0);
    if (!ReportDataRanges())
        DisplayMessage("No data loaded.", 0);
}

void CBinaryImage::OnBlockListChanged() {}

// ---------------------------------------------------------------------------
// The window

DWORD CBinaryImage::CapSize(std::uint64_t nSize, DWORD nStart) const
{
    // The window cannot run past the top of the address space.
    const std::uint64_t nRoom = std::min<std::uint64_t>(kAddressSpace - nStart, kTopAddress);
    return static_cast<DWORD>(std::min(nSize, nRoom));
}

void CBinaryImage::GrowWindow(std::uint64_t nBegin, std::uint64_t nEnd)
{
    std::uint64_t nStart = m_nStartAddress;
    std::uint64_t nSize = m_nImageSize;
    if (nSize == 0) {
        // An empty window has no place yet: it starts where data first arrives.
        nStart = nBegin;
    } else if (nBegin < nStart) {
        nSize = RoundUp(nSize + (nStart - nBegin), m_nByteAlignment);
        nStart = nBegin;
    }
    if (nEnd > nStart + nSize)
        nSize = RoundUp(nEnd - nStart, m_nByteAlignment);
    m_nStartAddress = static_cast<DWORD>(nStart);
    m_nImageSize = CapSize(nSize, m_nStartAddress);
}

bool CBinaryImage::RangeInWindow(DWORD nAddress, DWORD nLength) const
{
    return nLength > 0 && std::uint64_t(nAddress) + nLength <= WindowEnd();
}

void CBinaryImage::SetByteAlignment(DWORD nAlignment)
{
    if (!m_bDynamic)
        return;
    m_nByteAlignment = nAlignment ? nAlignment : 1;
    // Keep the size a multiple of the new alignment; the window only grows.
    if (m_nImageSize)
        m_nImageSize = CapSize(RoundUp(m_nImageSize, m_nByteAlignment), m_nStartAddress);
}

DWORD CBinaryImage::GetByteAlignment() const
{
    return m_nByteAlignment;
}

void CBinaryImage::DeleteFromAllSets(DWORD nFrom, DWORD nTo)
{
    if (nFrom > nTo)
        return;
    const bool bHadData = GetMemoryUsedInRange(nFrom, nTo, &m_ImageData) > 0;
    for (DATA_INFO* pSet : {&m_ImageData, &m_FileLoadRanges, &m_UndoData, &m_RedoData, &m_UndoRanges, &m_RedoRanges})
        DeleteAllRange(nFrom, nTo, pSet);
    RemoveArea(nFrom, static_cast<DWORD>(std::min<std::uint64_t>(std::uint64_t(nTo) - nFrom + 1, kTopAddress)));
    if (nTo == kTopAddress && nFrom == 0)
        RemoveArea(kTopAddress, 1);
    if (bHadData)
        OnBlockListChanged();
}

void CBinaryImage::SetStartAddress(DWORD nStart)
{
    if (nStart > m_nStartAddress) {
        // Everything below the new start goes.
        DeleteFromAllSets(0, nStart - 1);
    } else {
        // Whatever the lowered window no longer covers at its top goes.
        const std::uint64_t nNewEnd = std::uint64_t(nStart) + m_nImageSize;
        if (nNewEnd <= kTopAddress)
            DeleteFromAllSets(static_cast<DWORD>(nNewEnd), kTopAddress);
    }
    m_nStartAddress = nStart;
    m_nImageSize = CapSize(m_nImageSize, nStart);
}

void CBinaryImage::SetImageSize(DWORD nSize)
{
    const DWORD nNewSize = CapSize(RoundUp(nSize, m_nByteAlignment), m_nStartAddress);
    if (nNewSize < m_nImageSize) {
        // Everything from the new end up goes.
        DeleteFromAllSets(m_nStartAddress + nNewSize, kTopAddress);
    }
    m_nImageSize = nNewSize;
}

int CBinaryImage::IsDynamicImage() const
{
    return m_bDynamic;
}

DWORD CBinaryImage::GetStartAddress() const
{
    return m_nStartAddress;
}

DWORD CBinaryImage::GetImageSize() const
{
    return m_nImageSize;
}

// ---------------------------------------------------------------------------
// File loads

int CBinaryImage::SetDataFromFile(DWORD nAddress, DWORD nLength, const BYTE* pBytes)
{
    if (!pBytes || nLength == 0)
        return 0;
    const int nResult = SetData(nAddress, pBytes, nLength);
    const std::uint64_t nBegin = std::max<std::uint64_t>(nAddress, m_nStartAddress);
    const std::uint64_t nEnd =
        std::min({std::uint64_t(nAddress) + nLength, WindowEnd(), kAddressSpace});
    if (nBegin >= nEnd)
        return 0;
    const DWORD nFirst = static_cast<DWORD>(nBegin);
    const DWORD nLast = static_cast<DWORD>(nEnd - 1);
    DeleteAllRange(nFirst, nLast, &m_FileLoadRanges);
    NewBlock(nFirst, nLast - nFirst + 1, &m_FileLoadRanges, nullptr);
    return nResult;
}

void CBinaryImage::UndoFileLoad()
{
    for (CDataBlock* pBlock = m_UndoData.m_pLast; pBlock; pBlock = pBlock->GetPreviousBlockIn()) {
        const DWORD nStart = pBlock->GetStartAddress();
        SetData(nStart, pBlock->GetSizeOfData(), pBlock->GetData(nStart), &m_ImageData);
        DeleteAllRange(nStart, pBlock->GetEndAddress(), &m_FileLoadRanges);
    }
    DeleteAllBlocks(&m_UndoData);
    DeleteAllBlocks(&m_UndoRanges);
}

void CBinaryImage::ResetFileLoadMemory()
{
    DeleteAllBlocks(&m_FileLoadRanges);
}

void CBinaryImage::ClearFileLoadRange(DWORD nAddress, DWORD nLength)
{
    if (RangeInWindow(nAddress, nLength))
        DeleteAllRange(nAddress, nAddress + nLength - 1, &m_FileLoadRanges);
}

int CBinaryImage::IsImageFileLoaded() const
{
    return m_FileLoadRanges.GetCount() > 0;
}

int CBinaryImage::GetNextFileLoadRangeByIndex(int nIndex, DWORD nFrom, DWORD* pFirst, DWORD* pLast)
{
    return GetNextMemoryRangeByIndex(nIndex, nFrom, pFirst, pLast, &m_FileLoadRanges);
}

// ---------------------------------------------------------------------------
// Undo and redo

bool CBinaryImage::GetHistorySets(DATA_INFO* pSet, HISTORY_SETS& sets)
{
    if (pSet == &m_UndoData) {
        sets = {&m_UndoRanges, &m_RedoData, &m_RedoRanges};
        return true;
    }
    if (pSet == &m_RedoData) {
        sets = {&m_RedoRanges, &m_UndoData, &m_UndoRanges};
        return true;
    }
    return false;
}

CDataBlock* CBinaryImage::StoreLayer(DWORD nAddress, DWORD nLength, const BYTE* pBytes, DATA_INFO* pData,
                                     DATA_INFO* pRanges, CDataBlock* pGeneration)
{
    CDataBlock* pBlock = NewBlock(nAddress, nLength, pData, pGeneration);
    if (pBlock)
        pBlock->SetData(nAddress, nLength, pBytes);
    SetData(nAddress, nLength, pBytes, pRanges);
    return pGeneration ? pGeneration : pBlock;
}

void CBinaryImage::TakeNewestGeneration(DATA_INFO* pSet)
{
    HISTORY_SETS sets{};
    if (!GetHistorySets(pSet, sets) || !pSet->m_pLast)
        return;
    const DWORD nCounter = pSet->m_pLast->GetCounter();
    // One generation taken is one generation to take back: the blocks stay together.
    CDataBlock* pGeneration = nullptr;
    std::vector<BYTE> present;
    CDataBlock* pBlock = pSet->m_pLast;
    while (pBlock && pBlock->GetCounter() == nCounter) {
        CDataBlock* pPrevious = pBlock->GetPreviousBlockIn();
        const DWORD nStart = pBlock->GetStartAddress();
        const DWORD nEnd = pBlock->GetEndAddress();
        const DWORD nSize = pBlock->GetSizeOfData();
        present.assign(nSize, 0xFF);
        GetData(nStart, nEnd, present.data(), &m_ImageData);
        pGeneration = StoreLayer(nStart, nSize, present.data(), sets.pOtherData, sets.pOtherRanges, pGeneration);
        SetData(nStart, nSize, pBlock->GetData(nStart), &m_ImageData);
        DeleteBlock(pBlock, pSet);
        UpdateRangeInfo(nStart, nEnd, pSet, sets.pRanges);
        pBlock = pPrevious;
    }
}

void CBinaryImage::TakeAllGenerations(DATA_INFO* pSet)
{
    HISTORY_SETS sets{};
    if (!GetHistorySets(pSet, sets))
        return;
    CDataBlock* pGeneration = nullptr;
    DWORD nCounter = 0;
    std::vector<BYTE> present;
    for (CDataBlock* pBlock = pSet->m_pLast; pBlock; pBlock = pBlock->GetPreviousBlockIn()) {
        if (!pGeneration || pBlock->GetCounter() != nCounter) {
            pGeneration = nullptr;
            nCounter = pBlock->GetCounter();
        }
        const DWORD nStart = pBlock->GetStartAddress();
        const DWORD nSize = pBlock->GetSizeOfData();
        present.assign(nSize, 0xFF);
        GetData(nStart, pBlock->GetEndAddress(), present.data(), &m_ImageData);
        pGeneration = StoreLayer(nStart, nSize, present.data(), sets.pOtherData, sets.pOtherRanges, pGeneration);
        SetData(nStart, nSize, pBlock->GetData(nStart), &m_ImageData);
    }
    DeleteAllBlocks(pSet);
    DeleteAllBlocks(sets.pRanges);
}

void CBinaryImage::TakeRange(DWORD nAddress, DWORD nLength, DATA_INFO* pSet)
{
    HISTORY_SETS sets{};
    if (!GetHistorySets(pSet, sets) || !RangeInWindow(nAddress, nLength))
        return;
    const DWORD nTo = nAddress + nLength - 1;
    ProcessFIFOData(nAddress, nTo, pSet);
    UpdateRangeInfo(nAddress, nTo, pSet, sets.pRanges);
}

void CBinaryImage::TakeAllInRange(DWORD nAddress, DWORD nLength, DATA_INFO* pSet)
{
    HISTORY_SETS sets{};
    if (!GetHistorySets(pSet, sets) || !RangeInWindow(nAddress, nLength))
        return;
    const DWORD nTo = nAddress + nLength - 1;
    DWORD nAt = nAddress;
    DWORD nFirst = 0, nLast = 0;
    // Each pass peels one layer wherever the range still has one.
    while (GetNextMemoryRangeByIndex(-1, nAt, &nFirst, &nLast, sets.pRanges) >= 0 && nFirst <= nTo) {
        ProcessFIFOData(nFirst, nTo, pSet);
        UpdateRangeInfo(nFirst, nTo, pSet, sets.pRanges);
        nAt = nFirst;
    }
}

void CBinaryImage::DropLayers(DWORD nAddress, DWORD nLength, DATA_INFO* pSet, bool bAll)
{
    HISTORY_SETS sets{};
    if (!GetHistorySets(pSet, sets) || !RangeInWindow(nAddress, nLength))
        return;
    const DWORD nTo = nAddress + nLength - 1;
    if (bAll)
        DeleteAllRange(nAddress, nTo, pSet);
    else
        DeleteFIFORange(nAddress, nTo, pSet);
    UpdateRangeInfo(nAddress, nTo, pSet, sets.pRanges);
}

void CBinaryImage::Undo(DWORD nAddress)
{
    if (std::uint64_t(nAddress) < WindowEnd())
        UndoRange(nAddress, 1);
}

void CBinaryImage::Undo()
{
    TakeNewestGeneration(&m_UndoData);
}

void CBinaryImage::UndoRange(DWORD nAddress, DWORD nLength)
{
    TakeRange(nAddress, nLength, &m_UndoData);
}

void CBinaryImage::UndoAll()
{
    TakeAllGenerations(&m_UndoData);
}

void CBinaryImage::UndoAllRange(DWORD nAddress, DWORD nLength)
{
    TakeAllInRange(nAddress, nLength, &m_UndoData);
}

void CBinaryImage::ClearLastUndoRange(DWORD nAddress, DWORD nLength)
{
    DropLayers(nAddress, nLength, &m_UndoData, false);
}

void CBinaryImage::ClearAllUndoRange(DWORD nAddress, DWORD nLength)
{
    DropLayers(nAddress, nLength, &m_UndoData, true);
}

int CBinaryImage::GetNextUndoRangeByIndex(int nIndex, DWORD nFrom, DWORD* pFirst, DWORD* pLast)
{
    return GetNextMemoryRangeByIndex(nIndex, nFrom, pFirst, pLast, &m_UndoRanges);
}

void CBinaryImage::ResetUndoRedoMemory()
{
    for (DATA_INFO* pSet : {&m_UndoData, &m_RedoData, &m_UndoRanges, &m_RedoRanges})
        DeleteAllBlocks(pSet);
}

int CBinaryImage::IsImageModified() const
{
    return m_UndoData.GetCount() > 0 || m_RedoData.GetCount() > 0;
}

void CBinaryImage::Redo(DWORD nAddress)
{
    if (std::uint64_t(nAddress) < WindowEnd())
        RedoRange(nAddress, 1);
}

void CBinaryImage::Redo()
{
    TakeNewestGeneration(&m_RedoData);
}

void CBinaryImage::RedoRange(DWORD nAddress, DWORD nLength)
{
    TakeRange(nAddress, nLength, &m_RedoData);
}

void CBinaryImage::RedoAll()
{
    TakeAllGenerations(&m_RedoData);
}

void CBinaryImage::RedoAllRange(DWORD nAddress, DWORD nLength)
{
    TakeAllInRange(nAddress, nLength, &m_RedoData);
}

void CBinaryImage::ClearLastRedoRange(DWORD nAddress, DWORD nLength)
{
    DropLayers(nAddress, nLength, &m_RedoData, false);
}

void CBinaryImage::ClearAllRedoRange(DWORD nAddress, DWORD nLength)
{
    DropLayers(nAddress, nLength, &m_RedoData, true);
}

int CBinaryImage::GetNextRedoRangeByIndex(int nIndex, DWORD nFrom, DWORD* pFirst, DWORD* pLast)
{
    return GetNextMemoryRangeByIndex(nIndex, nFrom, pFirst, pLast, &m_RedoRanges);
}

void CBinaryImage::ProcessFIFOData(DWORD nFrom, DWORD nTo, DATA_INFO* pSet)
{
    HISTORY_SETS sets{};
    if (!GetHistorySets(pSet, sets) || nFrom > nTo)
        return;
    CDataBlock* pGeneration = nullptr;
    std::vector<BYTE> present, layer;
    std::uint64_t nAt = nFrom;
    DWORD nPieceEnd = 0;
    int i;
    while ((i = NextLayerPiece(nAt, nTo, pSet, nPieceEnd)) >= 0) {
        CDataBlock* pBlock = pSet->GetAt(i);
        const DWORD nPiece = static_cast<DWORD>(nAt);
        const DWORD nSize = nPieceEnd - nPiece + 1;
        present.assign(nSize, 0xFF);
        GetData(nPiece, nPieceEnd, present.data(), &m_ImageData);
        const BYTE* pLayer = pBlock->GetData(nPiece);
        layer.assign(pLayer, pLayer + nSize);
        pGeneration = StoreLayer(nPiece, nSize, present.data(), sets.pOtherData, sets.pOtherRanges, pGeneration);
        SetData(nPiece, nSize, layer.data(), &m_ImageData);
        DeleteRangeFromBlock(nPiece, nPieceEnd, pBlock, pSet);
        nAt = std::uint64_t(nPieceEnd) + 1;
    }
    UpdateRangeInfo(nFrom, nTo, pSet, sets.pRanges);
}

// ---------------------------------------------------------------------------
// Block sets

int CBinaryImage::FirstPossiblyCovering(DWORD nAddress, DATA_INFO* pSet)
{
    if (!IsLayered(pSet))
        return FindBlockBeforeAddress(nAddress, pSet) + 1;
    // Layers overlap: a block covering the address starts at most one
    // longest-block length below it.
    const std::uint64_t nLowest =
        nAddress >= pSet->m_nLongest ? std::uint64_t(nAddress) - pSet->m_nLongest + 1 : 0;
    int nLow = 0, nHigh = pSet->GetCount();
    while (nLow < nHigh) {
        const int nMid = nLow + (nHigh - nLow) / 2;
        if (pSet->GetAt(nMid)->GetStartAddress() < nLowest)
            nLow = nMid + 1;
        else
            nHigh = nMid;
    }
    return nLow;
}

int CBinaryImage::TopBlockIndex(DWORD nAddress, DATA_INFO* pSet)
{
    const int nAfter = FindBlockAfterAddress(nAddress, pSet);
    int nBest = -1;
    DWORD nBestCounter = 0;
    const int nFirst = FirstPossiblyCovering(nAddress, pSet);
    for (int k = (nAfter < 0 ? pSet->GetCount() : nAfter) - 1; k >= nFirst; --k) {
        CDataBlock* pBlock = pSet->GetAt(k);
        if (pBlock->GetEndAddress() >= nAddress && (nBest < 0 || pBlock->GetCounter() > nBestCounter)) {
            nBest = k;
            nBestCounter = pBlock->GetCounter();
        }
    }
    return nBest;
}

int CBinaryImage::NextLayerPiece(std::uint64_t& nAddress, DWORD nTo, DATA_INFO* pSet, DWORD& nPieceEnd)
{
    // Visiting the blocks once in address order would lose the part of an
    // older layer that shows again after a newer one ends, so each piece
    // starts from the layer that is on top at the current address.
    while (nAddress <= nTo) {
        const DWORD nAt = static_cast<DWORD>(nAddress);
        const int i = TopBlockIndex(nAt, pSet);
        if (i < 0) {
            const int nNext = FindBlockAfterAddress(nAt, pSet);
            if (nNext < 0)
                return -1;
            nAddress = pSet->GetAt(nNext)->GetStartAddress();
            continue;
        }
        CDataBlock* pBlock = pSet->GetAt(i);
        CDataBlock* pNewer = CheckForMoreRecentBlock(i, nAt, pSet);
        DWORD nEnd = pBlock->GetEndAddress();
        if (pNewer && pNewer->GetStartAddress() > nAt)
            nEnd = std::min(nEnd, pNewer->GetStartAddress() - 1);
        nPieceEnd = std::min(nEnd, nTo);
        return i;
    }
    return -1;
}

void CBinaryImage::DeleteAllRange(DWORD nFrom, DWORD nTo, DATA_INFO* pSet)
{
    if (!pSet || nFrom > nTo || pSet->GetCount() == 0)
        return;
    const int nAfter = FindBlockAfterAddress(nTo, pSet);
    if (nAfter == 0)
        return;
    const bool bLayered = IsLayered(pSet);
    // Cutting a block only changes entries at or above its own index, so the
    // walk downwards stays valid.
    for (int k = (nAfter < 0 ? pSet->GetCount() : nAfter) - 1; k >= 0; --k) {
        CDataBlock* pBlock = pSet->GetAt(k);
        if (bLayered) {
            if (std::uint64_t(pBlock->GetStartAddress()) + pSet->m_nLongest <= nFrom)
                break;
        } else if (pBlock->GetEndAddress() < nFrom) {
            break;
        }
        if (pBlock->GetEndAddress() >= nFrom && pBlock->GetStartAddress() <= nTo)
            DeleteRangeFromBlock(nFrom, nTo, pBlock, pSet);
    }
}

void CBinaryImage::DeleteFIFORange(DWORD nFrom, DWORD nTo, DATA_INFO* pSet)
{
    if (!pSet || nFrom > nTo)
        return;
    std::uint64_t nAt = nFrom;
    DWORD nPieceEnd = 0;
    int i;
    while ((i = NextLayerPiece(nAt, nTo, pSet, nPieceEnd)) >= 0) {
        DeleteRangeFromBlock(static_cast<DWORD>(nAt), nPieceEnd, pSet->GetAt(i), pSet);
        nAt = std::uint64_t(nPieceEnd) + 1;
    }
}

void CBinaryImage::TrimBlock(CDataBlock* pBlock, DWORD nFirst, DWORD nLast, DATA_INFO* pSet)
{
    // The piece keeps the block's generation and its place in the arrival chain.
    const DWORD nOldSize = pBlock->GetSizeOfData();
    const DWORD nNewSize = nLast - nFirst + 1;
    if (CarriesData(pSet))
        m_nMemoryUsed -= nOldSize - nNewSize;
    if (nFirst == pBlock->GetStartAddress()) {
        pBlock->SetSizeOfData(nNewSize);
        return;
    }
    const int nIndex = FindBlockIndex(pBlock, pSet);
    pBlock->SetStartAddress(nFirst);
    pBlock->SetSizeOfData(nNewSize);
    if (nIndex < 0)
        return;
    // A later start may belong further up the address order.
    RemoveFromPointerArray(pSet, nIndex);
    const int nPosition = InsertPosition(nFirst, pBlock->GetCounter(), true, pSet);
    AddToPointerArray(pSet, pBlock, nPosition);
}

void CBinaryImage::DeleteRangeFromBlock(DWORD nFrom, DWORD nTo, CDataBlock* pBlock, DATA_INFO* pSet)
{
    if (!pBlock || !pSet || nFrom > nTo)
        return;
    const DWORD nStart = pBlock->GetStartAddress();
    const DWORD nEnd = pBlock->GetEndAddress();
    if (nTo < nStart || nFrom > nEnd)
        return;
    const bool bBelow = nStart < nFrom;
    const bool bAbove = nEnd > nTo;
    if (!bBelow && !bAbove) {
        DeleteBlock(pBlock, pSet);
        return;
    }
    if (bBelow && bAbove) {
        // The upper piece becomes a block of its own, the block keeps the lower one.
        CDataBlock* pUpper = NewBlock(nTo + 1, nEnd - nTo, pSet, pBlock);
        if (pUpper && CarriesData(pSet) && pBlock->HasData())
            pUpper->SetData(nTo + 1, nEnd - nTo, pBlock->GetData(nTo + 1));
        TrimBlock(pBlock, nStart, nFrom - 1, pSet);
        return;
    }
    if (bBelow)
        TrimBlock(pBlock, nStart, nFrom - 1, pSet);
    else
        TrimBlock(pBlock, nTo + 1, nEnd, pSet);
}

int CBinaryImage::InsertPosition(DWORD nStart, DWORD nCounter, bool bSibling, DATA_INFO* pSet)
{
    int nIndex = FindBlockAfterAddress(nStart, pSet);
    if (nIndex < 0)
        nIndex = pSet->GetCount();
    if (bSibling && nIndex >= 1) {
        CDataBlock* pBefore = pSet->GetAt(nIndex - 1);
        if (pBefore->GetStartAddress() == nStart && pBefore->GetCounter() < nCounter)
            --nIndex;
    }
    return nIndex;
}

CDataBlock* CBinaryImage::AddBlock(DWORD nStart, DWORD nSize, DATA_INFO* pSet, CDataBlock* pSibling)
{
    if (!pSet)
        return nullptr;
    if (!pSet->MakeRoom()) {
        AfxMessageBox(kSetFullNotice, qtNotice, miInformation);
        return pSet->GetCount() ? pSet->GetAt(pSet->GetCount() - 1) : nullptr;
    }
    auto* pBlock = new CDataBlock(nStart, nSize);
    m_nMemoryUsed += kBlockRecord;
    if (CarriesData(pSet))
        m_nMemoryUsed += nSize;
    if (pSibling) {
        pBlock->SetCounter(pSibling->GetCounter());
    } else {
        pBlock->SetCounter(pSet->m_nNextCounter++);
    }
    const int nIndex = InsertPosition(nStart, pBlock->GetCounter(), pSibling != nullptr, pSet);
    AddToPointerArray(pSet, pBlock, nIndex);
    if (pSibling) {
        CDataBlock* pPrevious = pSibling->GetPreviousBlockIn();
        pBlock->SetNextBlockIn(pSibling);
        pBlock->SetPreviousBlockIn(pPrevious);
        if (pPrevious)
            pPrevious->SetNextBlockIn(pBlock);
        pSibling->SetPreviousBlockIn(pBlock);
    } else {
        pBlock->SetPreviousBlockIn(pSet->m_pLast);
        if (pSet->m_pLast)
            pSet->m_pLast->SetNextBlockIn(pBlock);
        pSet->m_pLast = pBlock;
    }
    pSet->m_nLongest = std::max(pSet->m_nLongest, nSize);
    return pBlock;
}

CDataBlock* CBinaryImage::NewBlock(DWORD nStart, DWORD nSize, DATA_INFO* pSet, CDataBlock* pSibling)
{
    const int nBefore = pSet->GetCount();
    CDataBlock* pBlock = AddBlock(nStart, nSize, pSet, pSibling);
    return pSet->GetCount() > nBefore ? pBlock : nullptr;
}

void CBinaryImage::DeleteBlock(CDataBlock* pBlock, DATA_INFO* pSet)
{
    if (!pBlock || !pSet)
        return;
    const int nIndex = FindBlockIndex(pBlock, pSet);
    if (nIndex < 0)
        return;
    CDataBlock* pPrevious = pBlock->GetPreviousBlockIn();
    CDataBlock* pNext = pBlock->GetNextBlockIn();
    if (pPrevious)
        pPrevious->SetNextBlockIn(pNext);
    if (pNext)
        pNext->SetPreviousBlockIn(pPrevious);
    if (pSet->m_pLast == pBlock)
        pSet->m_pLast = pPrevious;
    m_nMemoryUsed -= kBlockRecord;
    if (CarriesData(pSet))
        m_nMemoryUsed -= pBlock->GetSizeOfData();
    RemoveFromPointerArray(pSet, nIndex);
    delete pBlock;
}

void CBinaryImage::DeleteAllBlocks(DATA_INFO* pSet)
{
    if (!pSet)
        return;
    for (int i = 0; i < pSet->GetCount(); ++i) {
        CDataBlock* pBlock = pSet->GetAt(i);
        m_nMemoryUsed -= kBlockRecord;
        if (CarriesData(pSet))
            m_nMemoryUsed -= pBlock->GetSizeOfData();
        delete pBlock;
    }
    pSet->m_Blocks.Clear();
    pSet->m_pLast = nullptr;
    pSet->m_nNextCounter = 0;
    pSet->m_nLongest = 0;
    pSet->ReleaseStorage();
}

DWORD CBinaryImage::GetMemoryUsedInRange(DWORD nFrom, DWORD nTo, DATA_INFO* pSet)
{
    if (!pSet || nFrom > nTo)
        return 0;
    std::uint64_t nTotal = 0;
    for (int i = FirstPossiblyCovering(nFrom, pSet); i < pSet->GetCount(); ++i) {
        CDataBlock* pBlock = pSet->GetAt(i);
        if (pBlock->GetStartAddress() > nTo)
            break;
        const DWORD nFirst = std::max(nFrom, pBlock->GetStartAddress());
        const DWORD nLast = std::min(nTo, pBlock->GetEndAddress());
        if (nFirst <= nLast)
            nTotal += std::uint64_t(nLast - nFirst) + 1;
    }
    return static_cast<DWORD>(std::min<std::uint64_t>(nTotal, kTopAddress));
}

CDataBlock* CBinaryImage::CheckForMoreRecentBlock(int nIndex, DWORD nAddress, DATA_INFO* pSet)
{
    if (!pSet || nIndex < 0 || nIndex >= pSet->GetCount())
        return nullptr;
    CDataBlock* pBlock = pSet->GetAt(nIndex);
    const DWORD nEnd = pBlock->GetEndAddress();
    CDataBlock* pFound = nullptr;
    for (int k = nIndex + 1; k < pSet->GetCount(); ++k) {
        CDataBlock* pOther = pSet->GetAt(k);
        if (std::uint64_t(pOther->GetStartAddress()) > std::uint64_t(nEnd) + 1)
            break;
        if (pOther->GetStartAddress() > nEnd || pOther->GetEndAddress() < nAddress
            || pOther->GetCounter() <= pBlock->GetCounter())
            continue;
        if (!pFound
            || (pOther->GetStartAddress() <= pFound->GetStartAddress() && pOther->GetCounter() > pFound->GetCounter()))
            pFound = pOther;
    }
    return pFound;
}

int CBinaryImage::FindBlockBeforeAddress(DWORD nAddress, DATA_INFO* pSet)
{
    if (!pSet || pSet->GetCount() == 0)
        return -1;
    // Last entry starting below the address, then back to one that also ends below it.
    int nLow = 0, nHigh = pSet->GetCount();
    while (nLow < nHigh) {
        const int nMid = nLow + (nHigh - nLow) / 2;
        if (pSet->GetAt(nMid)->GetStartAddress() < nAddress)
            nLow = nMid + 1;
        else
            nHigh = nMid;
    }
    int i = nLow - 1;
    while (i >= 0 && pSet->GetAt(i)->GetEndAddress() >= nAddress)
        --i;
    return i;
}

int CBinaryImage::FindBlockAfterAddress(DWORD nAddress, DATA_INFO* pSet)
{
    if (!pSet || pSet->GetCount() == 0)
        return -1;
    int nLow = 0, nHigh = pSet->GetCount();
    while (nLow < nHigh) {
        const int nMid = nLow + (nHigh - nLow) / 2;
        if (pSet->GetAt(nMid)->GetStartAddress() <= nAddress)
            nLow = nMid + 1;
        else
            nHigh = nMid;
    }
    return nLow < pSet->GetCount() ? nLow : -1;
}

int CBinaryImage::FindBlockIndex(CDataBlock* pBlock, DATA_INFO* pSet)
{
    if (!pBlock || !pSet)
        return -1;
    const DWORD nStart = pBlock->GetStartAddress();
    const int nAfter = FindBlockAfterAddress(nStart, pSet);
    if (nAfter == 0)
        return -1;
    for (int i = (nAfter < 0 ? pSet->GetCount() : nAfter) - 1; i >= 0; --i) {
        CDataBlock* pEntry = pSet->GetAt(i);
        if (pEntry == pBlock)
            return i;
        if (pEntry->GetStartAddress() > nStart || pEntry->GetEndAddress() < nStart)
            break;
    }
    return -1;
}

void CBinaryImage::AddToPointerArray(DATA_INFO* pSet, CDataBlock* pBlock, int nIndex)
{
    if (!pSet || nIndex < 0 || nIndex > pSet->GetCount() || !pSet->MakeRoom())
        return;
    pSet->m_Blocks.Insert(static_cast<std::size_t>(nIndex), pBlock);
}

void CBinaryImage::RemoveFromPointerArray(DATA_INFO* pSet, int nIndex)
{
    if (!pSet || nIndex < 0 || nIndex >= pSet->GetCount())
        return;
    pSet->m_Blocks.Erase(static_cast<std::size_t>(nIndex));
}

int CBinaryImage::GetNextMemoryRangeByIndex(int nIndex, DWORD nFrom, DWORD* pFirst, DWORD* pLast, DATA_INFO* pSet)
{
    if (!pSet || !pFirst || !pLast || pSet->GetCount() == 0 || nIndex < -1 || nIndex >= pSet->GetCount())
        return -1;
    int i = nIndex;
    if (i == -1) {
        const int nBefore = FindBlockBeforeAddress(nFrom, pSet);
        if (nBefore == pSet->GetCount() - 1)
            return -1;
        i = nBefore + 1;
    }
    while (i < pSet->GetCount() && pSet->GetAt(i)->GetEndAddress() < nFrom)
        ++i;
    if (i >= pSet->GetCount())
        return -1;
    CDataBlock* pBlock = pSet->GetAt(i);
    const DWORD nFirst = std::max(nFrom, pBlock->GetStartAddress());
    DWORD nLast = pBlock->GetEndAddress();
    // Touching and overlapping blocks read as one range.
    for (++i; i < pSet->GetCount(); ++i) {
        pBlock = pSet->GetAt(i);
        if (std::uint64_t(pBlock->GetStartAddress()) > std::uint64_t(nLast) + 1)
            break;
        nLast = std::max(nLast, pBlock->GetEndAddress());
    }
    *pFirst = nFirst;
    *pLast = nLast;
    return i;
}

void CBinaryImage::UpdateRangeInfo(DWORD nFrom, DWORD nTo, DATA_INFO* pData, DATA_INFO* pRanges)
{
    if (!pData || !pRanges || nFrom > nTo)
        return;
    DeleteAllRange(nFrom, nTo, pRanges);
    const int nAfter = FindBlockAfterAddress(nTo, pData);
    const int nEnd = nAfter < 0 ? pData->GetCount() : nAfter;
    std::uint64_t nAt = nFrom;
    for (int k = FirstPossiblyCovering(nFrom, pData); k < nEnd && nAt <= nTo; ++k) {
        CDataBlock* pBlock = pData->GetAt(k);
        if (pBlock->GetEndAddress() < nAt)
            continue;
        const DWORD nFirst = static_cast<DWORD>(std::max<std::uint64_t>(nAt, pBlock->GetStartAddress()));
        // Capped at nTo: beyond it the range set was left as it was.
        const DWORD nLast = std::min(pBlock->GetEndAddress(), nTo);
        NewBlock(nFirst, nLast - nFirst + 1, pRanges, nullptr);
        nAt = std::uint64_t(nLast) + 1;
    }
}

// ---------------------------------------------------------------------------
// The area table

bool CBinaryImage::GetArea(int nIndex, DWORD* pFirst, DWORD* pLast) const
{
    if (nIndex < 0 || nIndex >= GetAreaCount() || !pFirst || !pLast)
        return false;
    *pFirst = m_Areas[static_cast<std::size_t>(nIndex)].first;
    *pLast = m_Areas[static_cast<std::size_t>(nIndex)].last;
    return true;
}

std::size_t CBinaryImage::FirstAreaEndingAtOrAfter(DWORD nAddress) const
{
    std::size_t nLow = 0, nHigh = m_Areas.size();
    while (nLow < nHigh) {
        const std::size_t nMid = nLow + (nHigh - nLow) / 2;
        if (m_Areas[nMid].last < nAddress)
            nLow = nMid + 1;
        else
            nHigh = nMid;
    }
    return nLow;
}

std::size_t CBinaryImage::FirstAreaStartingAbove(DWORD nAddress) const
{
    std::size_t nLow = 0, nHigh = m_Areas.size();
    while (nLow < nHigh) {
        const std::size_t nMid = nLow + (nHigh - nLow) / 2;
        if (m_Areas[nMid].first <= nAddress)
            nLow = nMid + 1;
        else
            nHigh = nMid;
    }
    return nLow;
}

int CBinaryImage::RemoveArea(DWORD nAddress, DWORD nLength)
{
    if (nLength == 0)
        return 1;
    const DWORD nLast = static_cast<DWORD>(std::min<std::uint64_t>(std::uint64_t(nAddress) + nLength - 1, kTopAddress));
    std::size_t i = FirstAreaEndingAtOrAfter(nAddress);
    if (i == m_Areas.size() || m_Areas[i].first > nLast)
        return 1;
    IMAGE_AREA& area = m_Areas[i];
    if (area.first < nAddress && area.last > nLast) {
        // The range lies strictly inside one area: split it.
        if (m_Areas.size() >= static_cast<std::size_t>(kMaxAreas))
            return 0;
        const IMAGE_AREA upper{nLast + 1, area.last};
        area.last = nAddress - 1;
        m_Areas.Insert(i + 1, upper);
        return 1;
    }
    if (area.first < nAddress) {
        area.last = nAddress - 1;
        ++i;
    }
    std::size_t nCovered = i;
    while (nCovered < m_Areas.size() && m_Areas[nCovered].last <= nLast)
        ++nCovered;
    m_Areas.EraseRange(i, nCovered);
    if (i < m_Areas.size() && m_Areas[i].first <= nLast)
        m_Areas[i].first = nLast + 1;
    return 1;
}

int CBinaryImage::RecordArea(DWORD nAddress, DWORD nLength)
{
    if (nLength == 0)
        return 1;
    if (!RemoveArea(nAddress, nLength))
        return 0;
    const DWORD nLast = static_cast<DWORD>(std::min<std::uint64_t>(std::uint64_t(nAddress) + nLength - 1, kTopAddress));
    const std::size_t i = FirstAreaStartingAbove(nAddress);
    if (nLast != kTopAddress && i < m_Areas.size() && m_Areas[i].first == nLast + 1) {
        m_Areas[i].first = nAddress;
        return 1;
    }
    if (nAddress != 0 && i > 0 && m_Areas[i - 1].last == nAddress - 1) {
        m_Areas[i - 1].last = nLast;
        return 1;
    }
    if (m_Areas.size() >= static_cast<std::size_t>(kMaxAreas))
        return 0;
    m_Areas.Insert(i, IMAGE_AREA{nAddress, nLast});
    return 1;
}

DWORD CBinaryImage::GetLastContiguousDataArea(DWORD nIndex, unsigned short nAlignment)
{
    if (nIndex >= m_Areas.size())
        return kTopAddress;
    const DWORD nUnit = nAlignment ? nAlignment : 1;
    const std::uint64_t nFirst = m_Areas[nIndex].first;
    std::size_t k = nIndex;
    while (k + 1 < m_Areas.size()) {
        const std::uint64_t nLast = m_Areas[k].last;
        const std::uint64_t nNextFirst = m_Areas[k + 1].first;
        // The aligned unit from the first area up to this one ends where the next may begin.
        const std::uint64_t nUnitEnd = nFirst + RoundUp(nLast - nFirst + 1, nUnit);
        if (nNextFirst <= nUnitEnd || RoundUp(nLast, nUnit) >= nNextFirst)
            ++k;
        else
            break;
    }
    return static_cast<DWORD>(k);
}
