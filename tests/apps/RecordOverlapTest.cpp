#include <gtest/gtest.h>

#include <map>
#include <tuple>

#include "IntelHex.h"
#include "RecordOverlap.h"

TEST(RecordOverlap, ClashesAreFoundAndDistinctBytesCounted)
{
    // Records added in turn (address, bytes), the index of the first that clashes
    // (-1 for none) with the address it names, and the distinct bytes at the end.
    const std::tuple<const char*, std::vector<std::pair<DWORD, std::vector<BYTE>>>, int, DWORD, unsigned long long>
        cases[] = {
        {"in order", {{0, {1, 2}}, {2, {3}}, {3, {4, 5}}}, -1, 0, 5},
        {"apart", {{10, {1}}, {0, {2}}}, -1, 0, 2},
        {"same bytes again", {{0, {1, 2, 3}}, {1, {2, 3, 4}}}, -1, 0, 4},
        {"different byte", {{0, {1, 2, 3}}, {1, {2, 9}}}, 1, 2, 3},
        {"bridge joins two runs", {{0, {1}}, {4, {5}}, {0, {1, 2, 3, 4, 5, 6}}}, -1, 0, 6},
        {"bridge with a clash in the second run", {{0, {1}}, {4, {5}}, {2, {3, 4, 6}}}, 2, 4, 4},
        {"earlier start than the run", {{4, {5, 6}}, {2, {3, 4, 5}}}, -1, 0, 4},
        {"top of the address space", {{0xFFFFFFFE, {1, 2}}, {0xFFFFFFFF, {2}}}, -1, 0, 2},
    };
    for (const auto& [what, adds, firstClash, clashAddress, bytes] : cases) {
        CRecordOverlap overlap;
        int clash = -1;
        DWORD at = 0;
        for (size_t i = 0; i < adds.size(); ++i) {
            DWORD where = 0;
            if (!overlap.Add(adds[i].first, adds[i].second.data(), static_cast<DWORD>(adds[i].second.size()), &where) &&
                clash < 0) {
                clash = static_cast<int>(i);
                at = where;
            }
        }
        EXPECT_EQ(clash, firstClash) << what;
        if (firstClash >= 0) {
            EXPECT_EQ(at, clashAddress) << what;
        }
        EXPECT_EQ(overlap.Bytes(), bytes) << what;
    }
}

TEST(RecordOverlap, IntelHexStrictRefusesWhatLenientReadsAsTheLibraryWould)
{
    // The text, the strict reader's error, and what the lenient reader keeps.
    const std::tuple<const char*, const char*, std::map<DWORD, BYTE>> cases[] = {
        {":0100000001FEzz\n:00000001FF\n", "line 1: characters after the checksum", {{0, 1}}},
        {":0100000001FE\n:0100000002FD\n:00000001FF\n", "line 2: a second, different value for address 0x00000000",
         {{0, 2}}},
        // 'G' reads as 0, as the library's S-record reader reads it.
        {":01000000G1FE\n:00000001FF\n", "line 1: 'G1' is not a hexadecimal byte", {{0, 1}}},
    };
    for (const auto& [text, strictError, lenient] : cases) {
        std::string error;
        CRecordOverlap overlap;
        EXPECT_FALSE(CIntelHex::Parse(text, [](DWORD, const BYTE*, DWORD) {}, &error, nullptr, false, &overlap));
        EXPECT_EQ(error.rfind(strictError, 0), 0u) << error;
        std::map<DWORD, BYTE> got;
        CRecordOverlap again;
        EXPECT_TRUE(CIntelHex::Parse(
            text, [&](DWORD a, const BYTE* p, DWORD n) { for (DWORD i = 0; i < n; ++i) got[a + i] = p[i]; }, &error,
            nullptr, true, &again)) << error;
        EXPECT_EQ(got, lenient) << text;
    }
}
