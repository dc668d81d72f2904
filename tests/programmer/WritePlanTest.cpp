// What a write plans from an image and the erase blocks, before any I/O.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "TestSupport.h"
#include "devicedb/BlockItem.h"
#include "programmer/WritePlan.h"

namespace {

using SLoad = std::pair<DWORD, std::vector<BYTE>>;

std::vector<BYTE> Data(DWORD n) { return std::vector<BYTE>(n, 0x5A); }
std::vector<BYTE> Blank(DWORD n) { return std::vector<BYTE>(n, 0xFF); }
std::vector<BYTE> Join(std::vector<BYTE> a, const std::vector<BYTE>& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

struct SWriteCase
{
    const char* name;
    std::vector<SLoad> file;
    int nImageSize = 0x4000; // below 1: dynamic
    unsigned short nLine = 16;
    DWORD nFLASH = 0x4000;
    eProtectionType protection = ptEraseAutomatically;
    const char* written = "";   // blocks A-D (H'1000 each from 0) that hold data
    const char* requested = ""; // blocks an earlier write left requested
    bool bProtocolB = false;
    // Expected.
    std::vector<SWriteRange> ranges = {};
    std::vector<SWriteRange> blanks = {};
    bool bOutside = false; // the last range is the one reported
    const char* touched = "";
    const char* erasures = ""; // "?" after a block that is asked about
    std::vector<SWriteRange> doubtful = {}; // with every planned block erased
    DWORD nScannedTo = 0;
};

std::string Names(const std::vector<CBlockItem*>& blocks)
{
    std::string names;
    for (const CBlockItem* pBlock : blocks)
        names += pBlock->m_strBlockName.str();
    return names;
}

const SWriteCase kWriteCases[] = {
    {.name = "an empty image plans nothing", .file = {}, .written = "ABCD"},
    {.name = "data in a written block erases it",
     .file = {{0x1004, Data(8)}}, .written = "B",
     .ranges = {{0x1000, 16}}, .touched = "B", .erasures = "B", .nScannedTo = 0x100F},
    {.name = "a range ending on a block's last byte touches that block only",
     .file = {{0x0F80, Data(0x80)}}, .written = "AB",
     .ranges = {{0x0F80, 0x80}}, .touched = "A", .erasures = "A", .nScannedTo = 0x0FFF},
    {.name = "a range starting on a block's first byte touches that block only",
     .file = {{0x1000, Data(0x80)}}, .written = "AB",
     .ranges = {{0x1000, 0x80}}, .touched = "B", .erasures = "B", .nScannedTo = 0x107F},
    {.name = "a range across a boundary touches both", .file = {{0x0FF8, Data(0x10)}}, .written = "AB",
     .ranges = {{0x0FF0, 0x20}}, .touched = "AB", .erasures = "AB", .nScannedTo = 0x100F},
    {.name = "the last byte of the FLASH is inside", .file = {{0x3FFF, Data(1)}}, .nLine = 1, .written = "D",
     .ranges = {{0x3FFF, 1}}, .touched = "D", .erasures = "D", .nScannedTo = 0x3FFF},
    {.name = "a line-aligned range may end on the last byte", .file = {{0x3FC1, Data(2)}}, .nLine = 0x40,
     .ranges = {{0x3FC0, 0x40}}, .nScannedTo = 0x3FFF},
    {.name = "one byte past the FLASH is refused before anything is requested",
     .file = {{0x0100, Data(4)}, {0x3FFF, Data(2)}}, .nImageSize = 0x8000, .nLine = 1, .written = "AD",
     .ranges = {{0x0100, 4}, {0x3FFF, 2}}, .bOutside = true},
    {.name = "a range at the top of the address space is outside a 4 GB FLASH",
     .file = {{0xFFFFFFF0, Data(16)}}, .nImageSize = 0, .nFLASH = 0xFFFFFFFF,
     .ranges = {{0xFFFFFFF0, 16}}, .bOutside = true},
    {.name = "a blank run at the top ends below the FLASH size", .file = {{0xFFFFFF00, Blank(0x100)}},
     .nImageSize = 0, .nFLASH = 0xFFFFFFFF, .blanks = {{0xFFFFFF00, 0xFF}}, .nScannedTo = 0xFFFFFFFE},
    {.name = "a blank run past the FLASH is cut at its end", .file = {{0x3F00, Blank(0x200)}}, .nImageSize = 0x8000,
     .written = "D", .blanks = {{0x3F00, 0x100}}, .touched = "D", .erasures = "D", .nScannedTo = 0x3FFF},
    {.name = "a blank run between data is left out of the writes",
     .file = {{0x1000, Join(Join(Data(0x20), Blank(0x40)), Data(0x20))}},
     .ranges = {{0x1000, 0x20}, {0x1060, 0x20}}, .blanks = {{0x1020, 0x40}}, .nScannedTo = 0x105F},
    {.name = "a blank run inside one line is written with it",
     .file = {{0x1000, Join(Join(Data(0x20), Blank(0x40)), Data(0x20))}}, .nLine = 0x80,
     .ranges = {{0x1000, 0x80}}, .nScannedTo = 0x107F},
    {.name = "a blank run in a block holding data is doubtful unless erased",
     .file = {{0x0100, Data(0x10)}, {0x2100, Blank(0x100)}}, .protection = ptNeverErase, .written = "C",
     .ranges = {{0x0100, 0x10}}, .blanks = {{0x2100, 0x100}}, .touched = "C",
     .doubtful = {{0x2100, 0x100}}, .nScannedTo = 0x21FF},
    {.name = "an erased block's blank run is not doubtful",
     .file = {{0x0100, Data(0x10)}, {0x2100, Blank(0x100)}}, .written = "C",
     .ranges = {{0x0100, 0x10}}, .blanks = {{0x2100, 0x100}}, .touched = "C", .erasures = "C",
     .nScannedTo = 0x21FF},
    {.name = "under Protocol B every blank run not erased is doubtful, split by block",
     .file = {{0x1F00, Blank(0x1100)}}, .bProtocolB = true,
     .blanks = {{0x1F00, 0x1100}}, .doubtful = {{0x1F00, 0x100}, {0x2000, 0x1000}}, .nScannedTo = 0x2FFF},
    {.name = "an earlier request joins once a block is touched", .file = {{0x1000, Data(4)}},
     .protection = ptAskBeforeErase, .written = "B", .requested = "AD",
     .ranges = {{0x1000, 16}}, .touched = "B", .erasures = "A?B?D?", .nScannedTo = 0x100F},
    {.name = "an earlier request alone erases nothing", .file = {{0x1000, Data(4)}}, .requested = "D",
     .ranges = {{0x1000, 16}}, .nScannedTo = 0x100F},
};

TEST(WritePlan, RangesBoundsAndErasures)
{
    zftest::ScopedSettings settings;
    for (const SWriteCase& c : kWriteCases) {
        SCOPED_TRACE(c.name);
        CObList blocks;
        for (char name : std::string("ABCD")) {
            auto* pBlock = new CBlockItem(std::string(1, name).c_str(), (name - 'A') * 0x1000L, 0x1000, 0, 0, 0);
            pBlock->m_bWritten = std::string(c.written).find(name) != std::string::npos;
            pBlock->m_bEraseRequest = std::string(c.requested).find(name) != std::string::npos;
            blocks.AddTail(pBlock);
        }
        CFLASHBinaryImage image(c.nImageSize, nullptr);
        for (const auto& [address, bytes] : c.file)
            image.SetDataFromFile(address, static_cast<DWORD>(bytes.size()), bytes.data());

        const CWritePlan plan(image, c.nLine, c.nFLASH, blocks, c.protection);
        EXPECT_EQ(plan.Ranges(), c.ranges);
        EXPECT_EQ(plan.Outside(), c.bOutside ? &plan.Ranges().back() : nullptr);
        EXPECT_EQ(plan.Blanks(), c.blanks);
        EXPECT_EQ(Names(plan.Touched()), c.touched);
        std::string erasures;
        std::vector<const CBlockItem*> erased;
        for (const CWritePlan::SErase& step : plan.Erasures()) {
            erasures += step.pBlock->m_strBlockName.str() + (step.bAsk ? "?" : "");
            erased.push_back(step.pBlock);
        }
        EXPECT_EQ(erasures, c.erasures);
        EXPECT_EQ(plan.DoubtfulSpans(erased, c.bProtocolB), c.doubtful);
        EXPECT_EQ(plan.ScannedTo(), c.nScannedTo);
        DWORD nTotal = 0;
        for (const SWriteRange& range : c.ranges)
            nTotal += c.bOutside ? 0 : range.nLength;
        EXPECT_EQ(plan.Total(), nTotal);
        blocks.DeleteAll();
    }
}

} // namespace
