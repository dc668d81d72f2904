#include <gtest/gtest.h>

#include <map>

#include "IntelHex.h"
#include "RecordOverlap.h"

namespace {
struct SAdd
{
    DWORD address;
    std::vector<BYTE> bytes;
};

struct SOverlapCase
{
    const char* what;
    std::vector<SAdd> adds;
    int firstClash;            // index of the add that clashes, -1 for none
    DWORD clashAddress;
    unsigned long long bytes;  // distinct bytes at the end
};
} // namespace

TEST(RecordOverlap, ClashesAreFoundAndDistinctBytesCounted)
{
    const SOverlapCase cases[] = {
        {"in order", {{0, {1, 2}}, {2, {3}}, {3, {4, 5}}}, -1, 0, 5},
        {"apart", {{10, {1}}, {0, {2}}}, -1, 0, 2},
        {"same bytes again", {{0, {1, 2, 3}}, {1, {2, 3, 4}}}, -1, 0, 4},
        {"different byte", {{0, {1, 2, 3}}, {1, {2, 9}}}, 1, 2, 3},
        {"bridge joins two runs", {{0, {1}}, {4, {5}}, {0, {1, 2, 3, 4, 5, 6}}}, -1, 0, 6},
        {"bridge with a clash in the second run", {{0, {1}}, {4, {5}}, {2, {3, 4, 6}}}, 2, 4, 4},
        {"earlier start than the run", {{4, {5, 6}}, {2, {3, 4, 5}}}, -1, 0, 4},
        {"top of the address space", {{0xFFFFFFFE, {1, 2}}, {0xFFFFFFFF, {2}}}, -1, 0, 2},
    };
    for (const SOverlapCase& c : cases) {
        CRecordOverlap overlap;
        int clash = -1;
        DWORD at = 0;
        for (size_t i = 0; i < c.adds.size(); ++i) {
            DWORD where = 0;
            if (!overlap.Add(c.adds[i].address, c.adds[i].bytes.data(), static_cast<DWORD>(c.adds[i].bytes.size()),
                             &where) && clash < 0) {
                clash = static_cast<int>(i);
                at = where;
            }
        }
        EXPECT_EQ(clash, c.firstClash) << c.what;
        if (c.firstClash >= 0) {
            EXPECT_EQ(at, c.clashAddress) << c.what;
        }
        EXPECT_EQ(overlap.Bytes(), c.bytes) << c.what;
    }
}

TEST(RecordOverlap, IntelHexStrictRefusesWhatLenientReadsAsTheLibraryWould)
{
    const struct
    {
        const char* text;
        const char* strictError;
        std::map<DWORD, BYTE> lenient;
    } cases[] = {
        {":0100000001FEzz\n:00000001FF\n", "line 1: characters after the checksum", {{0, 1}}},
        {":0100000001FE\n:0100000002FD\n:00000001FF\n", "line 2: a second, different value for address 0x00000000",
         {{0, 2}}},
        // 'G' reads as 0, as the library's S-record reader reads it.
        {":01000000G1FE\n:00000001FF\n", "line 1: 'G1' is not a hexadecimal byte", {{0, 1}}},
    };
    for (const auto& c : cases) {
        std::string error;
        CRecordOverlap overlap;
        EXPECT_FALSE(CIntelHex::Parse(c.text, [](DWORD, const BYTE*, DWORD) {}, &error, nullptr, false, &overlap));
        EXPECT_EQ(error.rfind(c.strictError, 0), 0u) << error;
        std::map<DWORD, BYTE> got;
        CRecordOverlap again;
        EXPECT_TRUE(CIntelHex::Parse(
            c.text, [&](DWORD a, const BYTE* p, DWORD n) { for (DWORD i = 0; i < n; ++i) got[a + i] = p[i]; }, &error,
            nullptr, true, &again)) << error;
        EXPECT_EQ(got, c.lenient) << c.text;
    }
}
