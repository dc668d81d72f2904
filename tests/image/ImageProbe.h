#pragma once
// An image with its block sets open to the tests, a few readers, and a check
// of the set invariants that every test can run after every step.
#include <gtest/gtest.h>

#include <fstream>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "image/BinaryImage.h"

namespace zftest {

using Range = std::pair<DWORD, DWORD>;
using Bytes = std::vector<BYTE>;
using Ranges = std::vector<Range>;

class CProbeImage : public CBinaryImage
{
public:
    using CBinaryImage::CBinaryImage;
    using CBinaryImage::GetData;
    using CBinaryImage::SetData;
    using CBinaryImage::DeleteAllBlocks;
    using CBinaryImage::m_ImageData;
    using CBinaryImage::m_FileLoadRanges;
    using CBinaryImage::m_UndoData;
    using CBinaryImage::m_RedoData;
    using CBinaryImage::m_UndoRanges;
    using CBinaryImage::m_RedoRanges;

    void OnBlockListChanged() override { ++changes; }
    int changes = 0;

    std::vector<BYTE> Read(DWORD nAddress, DWORD nLength)
    {
        std::vector<BYTE> out(nLength, 0x5A);
        EXPECT_EQ(GetData(nAddress, out.data(), nLength), 1) << "read at " << nAddress;
        return out;
    }
    int Write(DWORD nAddress, const std::vector<BYTE>& bytes)
    {
        return SetData(nAddress, bytes.data(), static_cast<DWORD>(bytes.size()));
    }

    using Next = int (CBinaryImage::*)(int, DWORD, DWORD*, DWORD*);
    Ranges Walk(Next next)
    {
        Ranges out;
        int nIndex = -1;
        DWORD nFrom = 0, nFirst = 0, nLast = 0;
        while ((nIndex = (this->*next)(nIndex, nFrom, &nFirst, &nLast)) >= 0) {
            out.emplace_back(nFirst, nLast);
            if (nLast == 0xFFFFFFFFu)
                break;
            nFrom = nLast + 1;
        }
        return out;
    }
    Ranges DataRanges() { return Walk(&CBinaryImage::GetNextDataRangeByIndex); }
    Ranges UndoRanges() { return Walk(&CBinaryImage::GetNextUndoRangeByIndex); }
    Ranges RedoRanges() { return Walk(&CBinaryImage::GetNextRedoRangeByIndex); }
    Ranges FileLoadRanges() { return Walk(&CBinaryImage::GetNextFileLoadRangeByIndex); }
    Ranges Areas() const
    {
        Ranges out;
        for (int i = 0; i < GetAreaCount(); ++i) {
            DWORD f = 0, l = 0;
            GetArea(i, &f, &l);
            out.emplace_back(f, l);
        }
        return out;
    }

    // Address order, arrival chain, non-overlap and memory accounting of all six sets.
    void CheckInvariants()
    {
        std::uint64_t nMemory = 0;
        const std::pair<DATA_INFO*, bool> sets[] = {{&m_ImageData, true},  {&m_FileLoadRanges, false},
                                                    {&m_UndoData, true},   {&m_RedoData, true},
                                                    {&m_UndoRanges, false}, {&m_RedoRanges, false}};
        for (const auto& [pSet, bData] : sets) {
            const bool bLayered = pSet == &m_UndoData || pSet == &m_RedoData;
            std::set<CDataBlock*> inArray;
            for (int i = 0; i < pSet->GetCount(); ++i) {
                CDataBlock* p = pSet->GetAt(i);
                inArray.insert(p);
                nMemory += sizeof(CDataBlock) + (bData ? p->GetSizeOfData() : 0);
                ASSERT_GT(p->GetSizeOfData(), 0u);
                if (i > 0) {
                    CDataBlock* q = pSet->GetAt(i - 1);
                    ASSERT_LE(q->GetStartAddress(), p->GetStartAddress());
                    if (!bLayered) {
                        ASSERT_LT(q->GetEndAddress(), p->GetStartAddress()) << "overlap in a flat set";
                    }
                }
            }
            std::size_t nChain = 0;
            DWORD nCounter = 0;
            for (CDataBlock* p = pSet->m_pLast; p; p = p->GetPreviousBlockIn(), ++nChain) {
                ASSERT_TRUE(inArray.count(p)) << "chain block missing from the array";
                if (nChain) {
                    ASSERT_LE(p->GetCounter(), nCounter) << "chain not ordered by generation";
                }
                nCounter = p->GetCounter();
                if (p->GetPreviousBlockIn()) {
                    ASSERT_EQ(p->GetPreviousBlockIn()->GetNextBlockIn(), p);
                }
            }
            ASSERT_EQ(nChain, inArray.size());
        }
        ASSERT_EQ(nMemory, GetCacheMemoryUsed());
    }
};

inline void WriteAll(const std::string& path, const std::string& content)
{
    std::ofstream(path, std::ios::binary) << content;
}

inline Bytes Random(size_t n, unsigned seed)
{
    std::mt19937 rng(seed);
    Bytes out(n);
    for (BYTE& b : out)
        b = static_cast<BYTE>(rng());
    return out;
}

} // namespace zftest
