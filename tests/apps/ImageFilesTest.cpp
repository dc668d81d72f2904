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

TEST(ImageFiles, AMalformedSRecordIsRefusedNotLoadedAsRaw)
{
    zftest::ScopedSettings settings;
    zftest::RecordingHost host;
    zftest::TempDir dir;
    std::ofstream(dir.File("bad.mot")) << "S1130000000004000000041000000420000004307D\n";
    CFLASHBinaryImage image(0, nullptr);
    std::string error;
    EXPECT_FALSE(CImageFiles::Load(dir.File("bad.mot"), ifAuto, 0, &image, nullptr, &error));
    EXPECT_THAT(error, HasSubstr("not a valid S-record"));
    EXPECT_FALSE(image.IsImageDataPresent());
    EXPECT_FALSE(CImageFiles::Load(dir.Path().string(), ifAuto, 0, &image, nullptr, &error));
    EXPECT_THAT(error, HasSubstr("folder"));
}

TEST(ImageFiles, ConvertThroughEveryFormKeepsTheData)
{
    zftest::ScopedSettings settings;
    zftest::RecordingHost host;
    zftest::TempDir dir;
    CFLASHBinaryImage image(0, nullptr);
    std::vector<BYTE> data(1000);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<BYTE>(i ^ 0x5A);
    image.SetDataFromFile(0x400, static_cast<DWORD>(data.size()), data.data());
    const DWORD crc = CImageFiles::Checksum(&image, CImageFiles::Ranges(&image));
    std::string error;
    // Each form is also read back under a name that does not say what it is.
    for (const char* form : {"srec", "fpr", "hex"}) {
        const std::string path = dir.File(std::string("img.") + form);
        ASSERT_TRUE(CImageFiles::Save(path, CImageFiles::FormatFromName(form), &image, 0, 0xFFFFFFFF, nullptr, &error));
        const std::string other = dir.File(std::string("copy-") + form + ".dat");
        std::filesystem::copy_file(path, other);
        CFLASHBinaryImage back(0, nullptr);
        ASSERT_TRUE(CImageFiles::Load(other, CImageFiles::FormatFromName(form), 0, &back, nullptr, &error))
            << form << ": " << error;
        EXPECT_EQ(CImageFiles::Checksum(&back, CImageFiles::Ranges(&back)), crc) << form;
    }
}
