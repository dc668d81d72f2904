#pragma once
// What writing an image will do, worked out before a byte moves: the ranges to
// write, the runs of H'FF the file sets, the bounds check, and which blocks are
// erased, offered for erasure or left. Reads the image and the erase blocks and
// changes neither, so the I/O that follows only carries the plan out.
#include <vector>

#include "programmer/FLASHProgrammer.h"

// nStart .. nStart + nLength - 1.
struct SWriteRange
{
    DWORD nStart = 0;
    DWORD nLength = 0;

    DWORD Last() const { return nStart + nLength - 1; }
    friend bool operator==(const SWriteRange&, const SWriteRange&) = default;
};

class CWritePlan
{
public:
    // A block that holds data and that the image touches, in list order.
    struct SErase
    {
        CBlockItem* pBlock;
        bool bAsk; // offered to the user, else announced and erased
    };

    CWritePlan(CFLASHBinaryImage& image, unsigned short nLineSize, DWORD nFLASHSize, const CObList& blocks,
               eProtectionType protection);

    // The image's contiguous data, aligned to the line size.
    static std::vector<SWriteRange> DataRanges(CFLASHBinaryImage& image, unsigned short nLineSize);
    // What the file set below nFLASHSize that holds only H'FF and is not in written.
    static std::vector<SWriteRange> BlankSpans(CFLASHBinaryImage& image, const std::vector<SWriteRange>& written,
                                               DWORD nFLASHSize);

    const std::vector<SWriteRange>& Ranges() const { return m_ranges; }
    const std::vector<SWriteRange>& Blanks() const { return m_blanks; }
    // The first range not inside the FLASH; null when all are. Nothing else is planned then.
    const SWriteRange* Outside() const { return m_nOutside < 0 ? nullptr : &m_ranges[m_nOutside]; }
    // Blocks holding data that the ranges or the blanks touch: their erase is requested.
    const std::vector<CBlockItem*>& Touched() const { return m_touched; }
    // Blocks already requested count too, once any is touched.
    const std::vector<SErase>& Erasures() const { return m_erasures; }
    // Bytes of the ranges (wrapping like the count that is reported).
    DWORD Total() const { return m_nTotal; }
    // Last address of the last range or blank looked at; 0 when none.
    DWORD ScannedTo() const { return m_nScannedTo; }

    // Parts of the blanks in blocks not erased that may hold something other
    // than H'FF: blocks known to hold data, or every block under Protocol B,
    // whose block usage says nothing.
    std::vector<SWriteRange> DoubtfulSpans(const std::vector<const CBlockItem*>& erased, bool bProtocolB) const;

private:
    const CObList& m_blocks;
    std::vector<SWriteRange> m_ranges;
    std::vector<SWriteRange> m_blanks;
    int m_nOutside = -1;
    std::vector<CBlockItem*> m_touched;
    std::vector<SErase> m_erasures;
    DWORD m_nTotal = 0;
    DWORD m_nScannedTo = 0;
};
