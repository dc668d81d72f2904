#include "programmer/WritePlan.h"

#include <algorithm>
#include <cstdint>

#include "devicedb/BlockItem.h"

std::vector<SWriteRange> CWritePlan::DataRanges(CFLASHBinaryImage& image, unsigned short nLineSize)
{
    std::vector<SWriteRange> ranges;
    DWORD nPosition = 0;
    do {
        DWORD nFirst = 0;
        DWORD nLast = 0;
        DWORD nLength = 0;
        const DWORD nNext = image.GetContiguousDataRange(nPosition, nLineSize, &nFirst, &nLast, &nLength);
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

std::vector<SWriteRange> CWritePlan::BlankSpans(CFLASHBinaryImage& image, const std::vector<SWriteRange>& written,
                                                DWORD nFLASHSize)
{
    std::vector<SWriteRange> spans;
    const auto add = [&](std::uint64_t nFirst, std::uint64_t nEnd) {
        nEnd = std::min<std::uint64_t>(nEnd, nFLASHSize);
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
    while ((nIndex = image.GetNextFileLoadRangeByIndex(nIndex, nFrom, &nFirst, &nLast)) >= 0) {
        std::uint64_t nPos = nFirst;
        for (const SWriteRange& range : written) {
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

CWritePlan::CWritePlan(CFLASHBinaryImage& image, unsigned short nLineSize, DWORD nFLASHSize, const CObList& blocks,
                       eProtectionType protection)
    : m_blocks(blocks), m_ranges(DataRanges(image, nLineSize))
{
    for (std::size_t i = 0; i < m_ranges.size(); ++i) {
        const SWriteRange& range = m_ranges[i];
        if (range.nStart >= nFLASHSize || range.nLength > nFLASHSize - range.nStart) {
            m_nOutside = static_cast<int>(i);
            return;
        }
    }
    for (const SWriteRange& range : m_ranges)
        m_nTotal += range.nLength;
    // H'FF the file sets must read back as H'FF: its blocks are erased like
    // those of the data.
    m_blanks = BlankSpans(image, m_ranges, nFLASHSize);
    for (const std::vector<SWriteRange>* pRanges : {&m_ranges, &m_blanks}) {
        for (const SWriteRange& range : *pRanges) {
            for (CObject* pObject : blocks) {
                auto* pBlock = static_cast<CBlockItem*>(pObject);
                if (pBlock->m_bWritten &&
                    pBlock->IsBlockAddress(static_cast<long>(range.nStart), static_cast<long>(range.Last())) &&
                    std::find(m_touched.begin(), m_touched.end(), pBlock) == m_touched.end())
                    m_touched.push_back(pBlock);
            }
            m_nScannedTo = range.Last();
        }
    }
    if (m_touched.empty() || protection == ptNeverErase)
        return;
    for (CObject* pObject : blocks) {
        auto* pBlock = static_cast<CBlockItem*>(pObject);
        if (pBlock->m_bEraseRequest || std::find(m_touched.begin(), m_touched.end(), pBlock) != m_touched.end())
            m_erasures.push_back({pBlock, protection == ptAskBeforeErase});
    }
}

std::vector<SWriteRange> CWritePlan::DoubtfulSpans(const std::vector<const CBlockItem*>& erased, bool bProtocolB) const
{
    std::vector<SWriteRange> doubtful;
    for (const SWriteRange& span : m_blanks) {
        for (const CObject* pObject : m_blocks) {
            const auto* pBlock = static_cast<const CBlockItem*>(pObject);
            const std::uint64_t nBlockEnd = std::uint64_t(static_cast<DWORD>(pBlock->m_lStart)) + pBlock->m_lSize;
            const std::uint64_t nFirst = std::max<std::uint64_t>(span.nStart, static_cast<DWORD>(pBlock->m_lStart));
            const std::uint64_t nEnd = std::min<std::uint64_t>(std::uint64_t(span.nStart) + span.nLength, nBlockEnd);
            if (nFirst >= nEnd || std::find(erased.begin(), erased.end(), pBlock) != erased.end())
                continue;
            if (bProtocolB || pBlock->m_bWritten)
                doubtful.push_back({static_cast<DWORD>(nFirst), static_cast<DWORD>(nEnd - nFirst)});
        }
    }
    return doubtful;
}
