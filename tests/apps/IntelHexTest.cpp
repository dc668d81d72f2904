#include <gmock/gmock.h>

#include <map>

#include "IntelHex.h"
#include "ImageFiles.h"
#include "TestSupport.h"
#include "image/FLASHBinaryImage.h"

using ::testing::HasSubstr;

namespace {
using Bytes = std::map<DWORD, BYTE>;

bool ParseInto(const std::string& text, Bytes& out, std::string* error = nullptr)
{
    return CIntelHex::Parse(
        text, [&](DWORD a, const BYTE* p, DWORD n) {
            for (DWORD i = 0; i < n; ++i)
                out[a + i] = p[i];
        },
        error);
}
} // namespace

TEST(IntelHex, AddressRecordsPlaceDataAndSegmentsWrap)
{
    Bytes b;
    // 04 sets the upper 16 bits; 02 switches to 16-byte segments, where a record
    // crossing the segment's end wraps to its start.
    const std::string text = ":020000040001F9\r\n"
                             ":020010001122BB\n"
                             "\n"
                             ":020000021000EC\n"
                             ":02FFFF00AABB9B\n"
                             ":00000001FF\n"
                             ":0100000099FF\n"; // after the end: ignored
    ASSERT_TRUE(ParseInto(text, b));
    EXPECT_EQ(b, (Bytes{{0x10010, 0x11}, {0x10011, 0x22}, {0x1FFFF, 0xAA}, {0x10000, 0xBB}}));
}

TEST(IntelHex, MalformedRecordsNameTheLineAndTheReason)
{
    const std::pair<std::string, std::string> cases[] = {
        {":020010001122BC\n:00000001FF\n", "line 1: wrong checksum"},
        {":00000001FF\n", ""},
        {"\n0200100011229B\n", "line 2: a record must start with ':'"},
        {":0300100011229B\n:00000001FF\n", "line 1: the byte count says 3"},
        {":02001000112G9B\n", "line 1: '2G' is not"},
        {":020010001122BB\n", "line 1: no end-of-file record"},
        {":020000060000F8\n:00000001FF\n", "line 1: unknown record type 6"},
        {":04FFFF0001020304F4\n:00000001FF\n", ""},
        {":020000040000FA\n:01000001AA54\n", "line 2: an end-of-file record carries no data"},
        {":02000004FFFFFC\n:02FFFF00AABB9B\n:00000001FF\n", "line 2: data runs past the 4 GiB"},
    };
    for (const auto& [text, reason] : cases) {
        Bytes b;
        std::string error;
        const bool ok = ParseInto(text, b, &error);
        EXPECT_EQ(ok, reason.empty()) << text << " -> " << error;
        if (!reason.empty()) {
            EXPECT_EQ(error.rfind(reason, 0), 0u) << error;
        }
    }
}

TEST(IntelHex, SaveAndLoadKeepEveryByteAcrossSegmentBoundaries)
{
    zftest::ScopedSettings settings;
    zftest::TempDir dir;
    CFLASHBinaryImage image(0, nullptr);
    std::vector<BYTE> data(300);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<BYTE>(i * 7 + 3);
    image.SetDataFromFile(0x1FF80, static_cast<DWORD>(data.size()), data.data()); // crosses 0x20000
    image.SetDataFromFile(0x10, 4, data.data());
    std::string error;
    ASSERT_TRUE(CIntelHex::Save(dir.File("a.hex").c_str(), &image, 0, 0xFFFFFFFF, &error)) << error;

    CFLASHBinaryImage back(0, nullptr);
    EXPECT_FALSE(CIntelHex::Load(dir.File("missing.hex").c_str(), &back, &error));
    EXPECT_THAT(error, HasSubstr("No such file"));
    ASSERT_TRUE(CIntelHex::Load(dir.File("a.hex").c_str(), &back, &error)) << error;
    const auto ranges = CImageFiles::Ranges(&back);
    ASSERT_EQ(ranges.size(), 2u);
    EXPECT_EQ(ranges[1].first, 0x1FF80u);
    EXPECT_EQ(ranges[1].last, 0x1FF80u + 299);
    std::vector<BYTE> read(data.size());
    back.GetData(0x1FF80, read.data(), static_cast<DWORD>(read.size()));
    EXPECT_EQ(read, data);
    EXPECT_EQ(CImageFiles::Checksum(&back, ranges), CImageFiles::Checksum(&image, CImageFiles::Ranges(&image)));
}

// The one check against files another tool wrote: 70,000 bytes span two 64K segments.
TEST(IntelHex, FilesWrittenBySrecCatLoadAsTheSameBytes)
{
    if (std::system("command -v srec_cat >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "srec_cat is not installed";
    zftest::ScopedSettings settings;
    zftest::TempDir dir;
    std::string raw;
    for (int i = 0; i < 70000; ++i)
        raw += static_cast<char>((i * 31) ^ (i >> 8));
    std::ofstream(dir.File("in.bin"), std::ios::binary) << raw;
    const std::string cmd = "srec_cat " + dir.File("in.bin") + " -binary -offset 0x1000 -o " + dir.File("ref.hex") +
                            " -intel >/dev/null 2>&1";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    CFLASHBinaryImage image(0, nullptr);
    std::string error;
    ASSERT_TRUE(CIntelHex::Load(dir.File("ref.hex").c_str(), &image, &error)) << error;
    std::string back(raw.size(), '\0');
    image.GetData(0x1000, reinterpret_cast<BYTE*>(back.data()), static_cast<DWORD>(back.size()));
    EXPECT_EQ(back, raw);
}
