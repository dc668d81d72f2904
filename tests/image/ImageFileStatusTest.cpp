// What image loads and saves tell the user, the single S-record line builder,
// and forms a load does not take.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "TestSupport.h"
#include "image/BinaryImageFile.h"
#include "image/ImageProbe.h"

using zftest::CProbeImage;
using zftest::RecordingHost;
using zftest::TempDir;
using zftest::WriteAll;

namespace {

class PaneHost : public RecordingHost
{
public:
    void SetStatusPane(int nPane, const CString& text) override { panes.emplace_back(nPane, text.str()); }
    std::vector<std::pair<int, std::string>> panes;

    std::vector<std::string> Messages() const
    {
        std::vector<std::string> out;
        for (const auto& s : shown)
            if (s.kind == skMessage)
                out.push_back(s.text);
        return out;
    }
};

TEST(ImageFileStatus, LoadsAndSavesNameTheFileAndEndWithClearedPanes)
{
    TempDir dir;
    const std::string mot = dir.File("a.mot");
    WriteAll(mot, "S1050010ABCD72\nS9030000FC\n");
    {
        PaneHost host;
        CProbeImage image(0);
        CBinaryImageFile file;
        ASSERT_EQ(file.LoadFile(mot.c_str(), &image, 1), 1);
        ASSERT_GE(host.panes.size(), 3u);
        EXPECT_EQ(host.panes.front(), std::make_pair(0, std::string("Loading File a.mot")));
        EXPECT_EQ(host.panes[host.panes.size() - 2], std::make_pair(0, std::string()));
        EXPECT_EQ(host.panes.back(), std::make_pair(1, std::string()));
        EXPECT_EQ(host.Messages().front(), "Processing S-Record file :'" + mot + "'");
        EXPECT_EQ(file.GetProgressString(), "Processing S-Record file");
        EXPECT_EQ(image.Read(0x10, 2), (std::vector<BYTE>{0xAB, 0xCD}));
    }
    {
        // Not a record: the raw load names the file its own way.
        const std::string bad = dir.File("b.mot");
        WriteAll(bad, "hello");
        PaneHost host;
        CProbeImage image(0);
        CBinaryImageFile file;
        ASSERT_EQ(file.LoadFile(bad.c_str(), &image, 0), 1);
        EXPECT_TRUE(host.panes.size() == 4u && host.panes[0].second.empty()) << "no file name without status";
        const auto messages = host.Messages();
        ASSERT_GE(messages.size(), 2u);
        EXPECT_EQ(messages[0], "Processing S-Record file :'" + bad + "'");
        EXPECT_EQ(messages[1], "Processing file :'" + bad + "'");
        EXPECT_EQ(image.Read(0, 5), (std::vector<BYTE>{'h', 'e', 'l', 'l', 'o'}));
    }
    {
        PaneHost host;
        host.answer = qtNo;
        CProbeImage image(16);
        image.Write(0, {1, 2});
        CBinaryImageFile file;
        const std::string cde = dir.File("c.cde");
        ASSERT_EQ(file.SaveFile(cde.c_str(), 0, 15, &image, 1, 0), 1);
        EXPECT_EQ(host.panes.front(), std::make_pair(0, std::string("Saving File c.cde")));
        EXPECT_EQ(host.panes[1], std::make_pair(1, std::string("100%")));
        EXPECT_EQ(host.Messages().front(), "Saving image file : '" + cde + "'");
        host.shown.clear();
        ASSERT_EQ(file.LoadFile(cde.c_str(), &image, 0), 1);
        EXPECT_EQ(host.Messages().front(), "Loading image file : '" + cde + "'");
    }
}

// A form forced on the FLASH image's file that the record loader has no reader for.
TEST(ImageFileStatus, ForcedRawTypeIsNotLoadedAsRecords)
{
    RecordingHost host;
    TempDir dir;
    const std::string path = dir.File("r.mot");
    WriteAll(path, "abc");
    CProbeImage image(0);
    CFLASHBinaryImageFile file;
    file.ForceFileType(ftRawData);
    EXPECT_EQ(file.LoadFile(path.c_str(), &image, 0), 0);
    EXPECT_TRUE(image.DataRanges().empty());
    EXPECT_EQ(file.LoadFile(path.c_str(), &image, 0), 1) << "the forced type lasts one open";
}

class LineFile : public CBinaryImageFile
{
public:
    std::string Line(DWORD nAddress, std::vector<BYTE> bytes, int nLength)
    {
        std::vector<char> line(2 * 256 + 16, '#');
        BinToSRecord(nAddress, bytes.data(), line.data(), nLength);
        return line.data();
    }
};

TEST(ImageFileStatus, LineBuilderWritesUpperCaseAtTheSavedWidth)
{
    LineFile file;
    EXPECT_EQ(file.Line(0x1234, {0xAB, 0x0C}, 2), "S1051234AB0CFD\n");
    EXPECT_EQ(file.Line(0x1234, {0xAB}, -3), "S1031234B6\n");
    std::vector<BYTE> many(300, 0xEE);
    const std::string longest = file.Line(0, many, 300);
    EXPECT_EQ(longest.size(), 4u + 4u + 2u * 250u + 2u + 1u);
    EXPECT_EQ(longest.substr(0, 4), "S1fd") << "the count keeps its lower-case digits";

    TempDir dir;
    file.OpenFile(dir.File("w.mot").c_str(), 0);
    file.StartSaveRecord(0x123456);
    file.CloseFile();
    EXPECT_EQ(file.Line(0x123456, {0xFA}, 1), "S205123456FA64\n");
}

} // namespace
