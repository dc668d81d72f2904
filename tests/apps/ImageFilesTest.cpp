#include <gmock/gmock.h>

#include <fstream>
#include <sstream>

#include "ImageFiles.h"
#include "TestSupport.h"
#include "image/FLASHBinaryImage.h"

using ::testing::HasSubstr;

TEST(ImageFiles, RawBinaryGoesToItsBaseAndComesBackWithGapsFilled)
{
    zftest::ScopedSettings settings;
    zftest::TempDir dir;
    std::ofstream(dir.File("in.bin"), std::ios::binary) << std::string("\x01\x02\x03\x04", 4);
    CFLASHBinaryImage image(0, nullptr);
    std::string error;
    ASSERT_TRUE(CImageFiles::Load(dir.File("in.bin"), ifAuto, 0x8000, &image, nullptr, &error)) << error;
    const BYTE more[2] = {0xA0, 0xA1};
    image.SetDataFromFile(0x8006, 2, more);
    ASSERT_TRUE(CImageFiles::Save(dir.File("out.raw"), ifAuto, &image, 0, 0xFFFFFFFF, nullptr, &error)) << error;
    EXPECT_EQ(zftest::ReadAll(dir.File("out.raw")), std::string("\x01\x02\x03\x04\xFF\xFF\xA0\xA1", 8));
    // An explicit window is written exactly, even where the image holds nothing.
    ASSERT_TRUE(CImageFiles::Save(dir.File("win.raw"), ifRaw, &image, 0x7FFE, 0x8001, nullptr, &error));
    EXPECT_EQ(zftest::ReadAll(dir.File("win.raw")), std::string("\xFF\xFF\x01\x02", 4));
    // A window from address 0, and one holding no data at all, are written whole too.
    ASSERT_TRUE(CImageFiles::Save(dir.File("zero.raw"), ifRaw, &image, 0, 0x8001, nullptr, &error));
    EXPECT_EQ(zftest::ReadAll(dir.File("zero.raw")), std::string(0x8000, '\xFF') + "\x01\x02");
    ASSERT_TRUE(CImageFiles::Save(dir.File("blank.raw"), ifRaw, &image, 0x10, 0x13, nullptr, &error));
    EXPECT_EQ(zftest::ReadAll(dir.File("blank.raw")), std::string(4, '\xFF'));
}

TEST(ImageFiles, ABadOrMissingFileIsRefusedWithItsReasonAndLeavesTheImageEmpty)
{
    zftest::ScopedSettings settings;
    zftest::RecordingHost host;
    zftest::TempDir dir;
    std::ofstream(dir.File("bad.mot")) << "S1130000000004000000041000000420000004307D\n";
    std::ofstream(dir.File("bad.hex")) << ":0400000001020304F2\n:0200100011229C\n:00000001FF\n";
    const std::pair<std::string, const char*> cases[] = {
        {dir.File("bad.mot"), "not a valid S-record"}, // and not loaded as raw instead
        {dir.File("bad.hex"), "line 2"},               // its good first record is not kept either
        {dir.File("missing.hex"), "no such file"},
        {dir.Path().string(), "folder"},
    };
    for (const auto& [path, reason] : cases) {
        CFLASHBinaryImage image(0, nullptr);
        std::string error;
        EXPECT_FALSE(CImageFiles::Load(path, ifAuto, 0, &image, nullptr, &error)) << path;
        EXPECT_THAT(error, HasSubstr(reason));
        EXPECT_FALSE(image.IsImageDataPresent()) << path;
    }
}
