// Which modules the target RAM takes, where, and which make room: planned
// from file lengths alone.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "device/ModulePlan.h"

namespace {

constexpr char kLetters[] = "WERC"; // map entry order: write, erase, read, check blank

struct SModuleCase
{
    const char* name;
    const char* marked;
    std::array<DWORD, 4> lengths; // by map entry
    std::array<eFLASHFunction, 4> priority = {fnWrite, fnErase, fnCheckBlank, fnRead};
    DWORD dwKernel = 0x100;
    DWORD dwFree = 0x1000;
    DWORD dwLine = 64;
    DWORD dwRAM = 0x4000;
    bool bAutomatic = true;
    // Expected.
    const char* evicted = "";
    const char* placed = ""; // entry@address/free RAM after it, in hex
    WORD wBuffer = 0;
    char tooBig = '-';
    int nVerifyNotices = 0;
};

const SModuleCase kModuleCases[] = {
    {.name = "one module behind an unaligned kernel", .marked = "R", .lengths = {0, 0, 40, 0}, .dwKernel = 513,
     .dwFree = 1000, .placed = "R@204/3c0", .wBuffer = 0x22C},
    {.name = "modules and one line fit exactly", .marked = "WE", .lengths = {92, 52, 0, 0}, .dwFree = 208,
     .placed = "W@100/74 E@15c/40", .wBuffer = 0x190},
    {.name = "one byte short: the least recent goes", .marked = "WE", .lengths = {92, 52, 0, 0}, .dwFree = 207,
     .evicted = "E", .placed = "W@100/73", .wBuffer = 0x15C},
    {.name = "eviction follows recency, not map order", .marked = "WERC", .lengths = {100, 100, 100, 100},
     .priority = {fnErase, fnWrite, fnRead, fnCheckBlank}, .dwFree = 300, .dwLine = 4,
     .evicted = "CR", .placed = "W@100/c8 E@164/64", .wBuffer = 0x1C8},
    {.name = "free RAM below one line evicts every module", .marked = "WE", .lengths = {4, 4, 0, 0}, .dwFree = 10,
     .evicted = "EW", .wBuffer = 0x100},
    {.name = "2048 bytes of RAM keep only the most recent", .marked = "WE", .lengths = {8, 8, 0, 0},
     .priority = {fnErase, fnWrite, fnCheckBlank, fnRead}, .dwRAM = 0x800,
     .evicted = "W", .placed = "E@100/ff8", .wBuffer = 0x108},
    {.name = "2049 bytes of RAM keep what fits", .marked = "WE", .lengths = {8, 8, 0, 0}, .dwRAM = 0x801,
     .placed = "W@100/ff8 E@108/ff0", .wBuffer = 0x110},
    {.name = "verify in the priority list is told about, not evicted", .marked = "WE", .lengths = {92, 52, 0, 0},
     .priority = {fnErase, fnVerify, fnCheckBlank, fnRead}, .dwFree = 150,
     .evicted = "E", .placed = "W@100/3a", .wBuffer = 0x15C, .nVerifyNotices = 1},
    {.name = "without eviction a module as long as the RAM left fits", .marked = "W", .lengths = {100, 0, 0, 0},
     .dwKernel = 0, .dwFree = 100, .bAutomatic = false, .placed = "W@0/0", .wBuffer = 100},
    {.name = "one byte longer is too big", .marked = "W", .lengths = {101, 0, 0, 0}, .dwKernel = 0,
     .dwFree = 100, .bAutomatic = false, .tooBig = 'W'},
    {.name = "a module too big stops the placing behind it", .marked = "WER", .lengths = {50, 2000, 4, 0},
     .dwFree = 1000, .bAutomatic = false, .placed = "W@100/3b4", .wBuffer = 0x134, .tooBig = 'E'},
    {.name = "each module starts on a multiple of 4", .marked = "WERC", .lengths = {5, 6, 7, 8}, .dwKernel = 0,
     .dwFree = 100, .bAutomatic = false, .placed = "W@0/5c E@8/54 R@10/4c C@18/44", .wBuffer = 0x20},
    {.name = "addresses wrap at 16 bits", .marked = "W", .lengths = {8, 0, 0, 0}, .dwKernel = 0xFFFE,
     .dwRAM = 0x20000, .placed = "W@0/ff8", .wBuffer = 8},
    {.name = "nothing wanted places nothing", .marked = "", .lengths = {}, .dwKernel = 0x102, .wBuffer = 0x104},
};

TEST(ModulePlan, EvictionPlacementAndBuffer)
{
    for (const SModuleCase& c : kModuleCases) {
        SCOPED_TRACE(c.name);
        SModuleRequest request{{}, c.lengths, c.priority, c.dwKernel, c.dwFree, c.dwLine, c.dwRAM, c.bAutomatic};
        for (const char* p = c.marked; *p; ++p)
            request.map.SetEntry(static_cast<int>(std::string(kLetters).find(*p)), CFLASHFunctionMap::kWanted);
        const CModulePlan plan(request);

        std::string evicted;
        for (int entry : plan.Evicted())
            evicted += kLetters[entry];
        EXPECT_EQ(evicted, c.evicted);
        std::string placed;
        for (const CModulePlan::SPlacement& placement : plan.Placements()) {
            char text[32];
            std::snprintf(text, sizeof text, "%s%c@%x/%x", placed.empty() ? "" : " ", kLetters[placement.nEntry],
                          static_cast<unsigned>(placement.wAddress), static_cast<unsigned>(placement.dwFreeRAMAfter));
            placed += text;
            EXPECT_EQ(placement.wLength, c.lengths[placement.nEntry]);
        }
        EXPECT_EQ(placed, c.placed);
        EXPECT_EQ(plan.TooBig() < 0 ? '-' : kLetters[plan.TooBig()], c.tooBig);
        EXPECT_EQ(plan.VerifyNotices(), c.nVerifyNotices);
        if (c.tooBig == '-') {
            EXPECT_EQ(plan.BufferAddress(), c.wBuffer);
        }
    }
}

} // namespace
