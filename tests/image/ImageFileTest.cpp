// Image files: S-record, FPR, CDE and raw data against hand-made files, and
// what loads and saves tell the user.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "TestSupport.h"
#include "image/BinaryImageFile.h"
#include "image/ImageProbe.h"

using zftest::Bytes;
using zftest::CProbeImage;
using zftest::Random;
using zftest::WriteAll;
using zftest::Ranges;
using zftest::RecordingHost;
using zftest::TempDir;

namespace {

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        out.push_back(line);
    return out;
}

// A record built independently of the writer: type, address bytes, data.
std::string Record(char type, int addressBytes, DWORD address, const Bytes& data, bool upper = true)
{
    std::vector<unsigned> bytes;
    bytes.push_back(static_cast<unsigned>(data.size()) + addressBytes + 1);
    for (int i = addressBytes - 1; i >= 0; --i)
        bytes.push_back((address >> (8 * i)) & 0xFF);
    for (BYTE b : data)
        bytes.push_back(b);
    unsigned sum = 0;
    for (unsigned b : bytes)
        sum += b;
    bytes.push_back(~sum & 0xFF);
    std::string line = "S";
    line += type;
    char hex[3];
    for (unsigned b : bytes) {
        std::snprintf(hex, sizeof hex, upper ? "%02X" : "%02x", b);
        line += hex;
    }
    return line;
}

// Counts the runs the loaders hand over.
class CRunImage : public CProbeImage
{
public:
    using CProbeImage::CProbeImage;
    int SetDataFromFile(DWORD nAddress, DWORD nLength, const BYTE* pBytes) override
    {
        runs.emplace_back(nAddress, nLength);
        return CProbeImage::SetDataFromFile(nAddress, nLength, pBytes);
    }
    Ranges runs; // address and length
};

bool AskedAbout(const RecordingHost& host, const std::string& text)
{
    return std::any_of(host.questions.begin(), host.questions.end(), [&](const auto& q) { return q.text == text; });
}

bool Shown(const RecordingHost& host, const std::string& part)
{
    return std::any_of(host.shown.begin(), host.shown.end(), [&](const auto& s) {
        return s.kind == skError && s.text.find(part) != std::string::npos;
    });
}

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

// The window and memory, then every set in address order (its count, the start
// and size of each block, and the bytes where the set carries them), then the areas.
using Snapshot = std::pair<std::vector<DWORD>, Bytes>;

Snapshot Take(CProbeImage& image)
{
    image.CheckInvariants();
    Snapshot out{{image.GetStartAddress(), image.GetImageSize(), image.GetCacheMemoryUsed()}, {}};
    for (DATA_INFO* pSet : {&image.m_ImageData, &image.m_FileLoadRanges, &image.m_UndoData, &image.m_RedoData,
                            &image.m_UndoRanges, &image.m_RedoRanges}) {
        const bool bData = pSet == &image.m_ImageData || pSet == &image.m_UndoData || pSet == &image.m_RedoData;
        out.first.push_back(static_cast<DWORD>(pSet->GetCount()));
        for (int i = 0; i < pSet->GetCount(); ++i) {
            CDataBlock* p = pSet->GetAt(i);
            const BYTE* pBytes = p->GetData(p->GetStartAddress());
            out.first.insert(out.first.end(), {p->GetStartAddress(), p->GetSizeOfData()});
            if (bData)
                out.second.insert(out.second.end(), pBytes, pBytes + p->GetSizeOfData());
        }
    }
    for (const auto& [first, last] : image.Areas())
        out.first.insert(out.first.end(), {first, last});
    return out;
}

// Address and data of a record to write.
using Rec = std::pair<DWORD, Bytes>;

// Record k: 1 + k % 23 bytes at 0x1000 + 48 * k (gapped), never H'FF.
std::vector<Rec> GappedRecords(int nCount)
{
    std::vector<Rec> out;
    for (int k = 0; k < nCount; ++k) {
        Bytes data = Random(1 + k % 23, k);
        for (BYTE& b : data)
            b &= 0x7F;
        out.push_back({DWORD(0x1000 + 48 * k), data});
    }
    return out;
}

std::vector<Rec> InOrder(std::vector<Rec> records, int nOrder)
{
    if (nOrder == 1)
        std::reverse(records.begin(), records.end());
    if (nOrder == 2)
        std::shuffle(records.begin(), records.end(), std::mt19937(5));
    if (nOrder == 3) {
        // Two interleaved runs, one rising and one falling.
        std::vector<Rec> mixed;
        for (std::size_t i = 0, j = records.size(); i < j; ++i) {
            mixed.push_back(records[i]);
            if (--j > i)
                mixed.push_back(records[j]);
        }
        records = mixed;
    }
    return records;
}

} // namespace

TEST(SRecordSave, LinesFollowTheWidthChunksAndHeader)
{
    RecordingHost host;
    TempDir dir;
    CProbeImage image(0);
    Bytes data(20);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<BYTE>(0xA0 + i);
    image.Write(0x1000, data);
    ASSERT_EQ(image.SaveFile(dir.File("prog.mot").c_str(), 0, 0xFFFFFFFF, 0), 1);
    const auto lines = Lines(zftest::ReadAll(dir.File("prog.mot")));
    ASSERT_EQ(lines.size(), 4u);
    // prog, four blanks, mot
    EXPECT_EQ(lines[0], Record('0', 2, 0, {'p', 'r', 'o', 'g', ' ', ' ', ' ', ' ', 'm', 'o', 't'}));
    EXPECT_EQ(lines[1], Record('1', 2, 0x1000, Bytes(data.begin(), data.begin() + 16), false).replace(4, 4, "1000"));
    EXPECT_EQ(lines[2], Record('1', 2, 0x1010, Bytes(data.begin() + 16, data.end()), false).replace(4, 4, "1010"));
    EXPECT_EQ(lines[3], "S9030000FC");

    // Wider addresses, and a chunk of H'FF inside a range gives no line.
    CProbeImage wide(0);
    Bytes blankMiddle(48, 0x11);
    std::fill(blankMiddle.begin() + 16, blankMiddle.begin() + 32, 0xFF);
    wide.SetBlankThreshold(64);
    wide.SetUseThreshold(TRUE);
    wide.Write(0x10000, blankMiddle);
    ASSERT_EQ(wide.DataRanges().size(), 1u);
    ASSERT_EQ(wide.SaveFile(dir.File("w.s").c_str(), 0, 0xFFFFFFFF, 0), 1);
    auto w = Lines(zftest::ReadAll(dir.File("w.s")));
    ASSERT_EQ(w.size(), 4u);
    EXPECT_EQ(w[1].substr(0, 10), "S214010000");
    EXPECT_EQ(w[2].substr(0, 10), "S214010020");
    EXPECT_EQ(w.back(), "S804000000FB");

    wide.Write(0x1000000, {1});
    ASSERT_EQ(wide.SaveFile(dir.File("w.s").c_str(), 0, 0xFFFFFFFF, 0), 1);
    w = Lines(zftest::ReadAll(dir.File("w.s")));
    EXPECT_EQ(w.back(), "S70500000000FA");
    EXPECT_EQ(w[1], Record('3', 4, 0x10000, Bytes(16, 0x11), false).replace(4, 8, "00010000"));
    EXPECT_EQ(w[3], Record('3', 4, 0x1000000, {1}, false).replace(4, 8, "01000000"));

    // The width follows the saved end, not the highest data.
    ASSERT_EQ(wide.SaveFile(dir.File("w.s").c_str(), 0, 0x10003, 0), 1);
    w = Lines(zftest::ReadAll(dir.File("w.s")));
    ASSERT_EQ(w.size(), 3u);
    EXPECT_EQ(w[1], Record('2', 3, 0x10000, {0x11, 0x11, 0x11, 0x11}, false).replace(4, 6, "010000"));
}

TEST(SRecordLoad, AcceptsLineEndsCaseAndMissingHeader)
{
    RecordingHost host;
    TempDir dir;
    const std::string body = Record('1', 2, 0x20, {1, 2, 3}) + "\r\n" + Record('2', 3, 0x20003, {0xAB}, false) +
                             "\n\n" + Record('3', 4, 0x30000000, Bytes(250, 9)) + "\r\n" + "S9030000FC\r\n" +
                             Record('1', 2, 0x40, {7}) + "\n";
    WriteAll(dir.File("a.srec"), Record('0', 2, 0, {'h', 'i'}) + "\r\n" + body);
    WriteAll(dir.File("b.srec"), body);
    for (const char* name : {"a.srec", "b.srec"}) {
        CProbeImage image(0);
        CBinaryImageFile file;
        file.SetStatusUpdate(&image);
        ASSERT_EQ(file.LoadFile(dir.File(name).c_str(), &image, 1), 1) << name;
        EXPECT_EQ(image.Read(0x20, 3), (Bytes{1, 2, 3})) << name;
        EXPECT_EQ(image.Read(0x20003, 1), Bytes{0xAB});
        EXPECT_EQ(image.Read(0x30000000, 250), Bytes(250, 9)); // the longest record a count allows
        EXPECT_EQ(image.GetDataByte(0x40), 0xFF) << "after the termination record";
        EXPECT_FALSE(image.IsImageModified()) << "a load leaves no history";
        EXPECT_EQ(std::string(file.GetModuleName()), name == std::string("a.srec") ? "hi" : "");
    }
    EXPECT_TRUE(host.questions.empty());
}

// Adjacent records are gathered; raw data comes in runs of 500 bytes.
TEST(ImageFileLoad, RecordsAndRawDataReachTheImageInRuns)
{
    RecordingHost host;
    TempDir dir;
    std::string text;
    for (DWORD a = 0; a < 1600; a += 16)
        text += Record('1', 2, 0x100 + a, Bytes(16, static_cast<BYTE>(a / 16))) + "\n";
    text += Record('1', 2, 0x900, {5}) + "\n";
    WriteAll(dir.File("r.s19"), text);
    CRunImage image(0);
    CBinaryImageFile file;
    ASSERT_EQ(file.LoadFile(dir.File("r.s19").c_str(), &image, 0), 1);
    EXPECT_EQ(image.runs, (Ranges{{0x100, 496}, {0x2F0, 496}, {0x4E0, 496}, {0x6D0, 1600 - 3 * 496}, {0x900, 1}}));

    const Bytes data = Random(1200, 9);
    WriteAll(dir.File("raw.bin"), std::string(data.begin(), data.end()));
    CRunImage raw(0);
    ASSERT_EQ(file.LoadNormalFile(dir.File("raw.bin").c_str(), &raw, 0), 1);
    EXPECT_EQ(file.GetFileType(), ftRawData);
    EXPECT_EQ(raw.runs, (Ranges{{0, 500}, {0x1F4, 500}, {0x3E8, 200}}));
    EXPECT_EQ(raw.Read(0, 1200), data);
    EXPECT_EQ(file.LoadNormalFile(dir.File("none").c_str(), &raw, 0), 0);
}

TEST(SRecordLoad, MalformedFilesLoadAsRawDataAfterTakingTheLoadBack)
{
    TempDir dir;
    const std::string good = Record('1', 2, 0x900, {0x55, 0x66}) + "\n";
    std::string wrongSum = Record('1', 2, 0x41, {0x77});
    wrongSum[wrongSum.size() - 1] ^= 1;
    const std::vector<std::pair<const char*, std::string>> cases = {
        {"checksum", good + wrongSum + "\n"},
        {"S5", good + Record('5', 2, 3, {}) + "\n"},
        {"count past the line", good + Record('1', 2, 0x41, {1, 2, 3}).substr(0, 12) + "\n"},
        {"long line", good + "S1" + std::string(700, '0') + "\n"},
        {"garbage", good + std::string("\x01\x02\xFFzz\n", 6)},
    };
    for (const auto& [what, content] : cases) {
        RecordingHost host;
        WriteAll(dir.File("bad.mot"), content);
        CProbeImage image(0x1000);
        image.Write(0x900, {0x12, 0x34});
        ASSERT_EQ(image.LoadFile(dir.File("bad.mot").c_str()), 1) << what;
        ASSERT_EQ(host.questions.size(), 1u) << what;
        EXPECT_EQ(host.questions[0].text, "This file is not an SRecord.  Loading as raw data.");
        const Bytes expected(content.begin(), content.end());
        EXPECT_EQ(image.Read(0, static_cast<DWORD>(expected.size())), expected) << what;
        EXPECT_EQ(image.Read(0x900, 2), (Bytes{0x12, 0x34})) << what << ": the failed load was taken back";
    }
}

TEST(ImageFileLoad, BadPathsLeaveTheImageAlone)
{
    RecordingHost host;
    TempDir dir;
    CProbeImage image(0);
    image.Write(0x10, {1, 2});
    EXPECT_EQ(image.LoadFile(dir.File("missing.srec").c_str()), 0);
    EXPECT_EQ(image.LoadFile(dir.Path().string().c_str()), 0);
    EXPECT_EQ(image.LoadFile(nullptr), 0);
    EXPECT_EQ(image.DataRanges(), (Ranges{{0x10, 0x11}}));
    EXPECT_TRUE(Shown(host, "No such file"));
    EXPECT_TRUE(Shown(host, "Is a directory"));
    EXPECT_EQ(image.SaveFile(dir.Path().string().c_str(), 0, 0xFF, 1), 0);
    EXPECT_EQ(image.SaveFile("/dev/full", 0, 0xFF, 1), 0) << "a refused write is reported";

    WriteAll(dir.File("empty.srec"), "");
    WriteAll(dir.File("empty.cde"), "");
    EXPECT_EQ(image.LoadFile(dir.File("empty.srec").c_str()), 1);
    EXPECT_EQ(image.LoadFile(dir.File("empty.cde").c_str()), 1);
    EXPECT_EQ(image.DataRanges(), (Ranges{{0x10, 0x11}}));
    EXPECT_TRUE(host.questions.empty());

    // Records beyond a fixed window are clipped; the rest of the load goes on.
    WriteAll(dir.File("far.srec"), Record('1', 2, 0xFFE, {1, 2, 3, 4}) + "\n" + Record('2', 3, 0x20000, {5}) +
                                       "\n" + Record('1', 2, 0x20, {6}) + "\n");
    CProbeImage fixed(0x1000);
    EXPECT_EQ(fixed.LoadFile(dir.File("far.srec").c_str()), 1);
    EXPECT_EQ(fixed.DataRanges(), (Ranges{{0x20, 0x20}, {0xFFE, 0xFFF}}));
}

TEST(FPRFile, RecordsLoadAndEndQuietlyOnBadHeaders)
{
    RecordingHost host;
    TempDir dir;
    const std::string a(16, 'a');
    const std::string b(200, 'b');
    WriteAll(dir.File("x.fpr"), "00001000" "00000016" + a + "0000200000000200" + b + "00003000" "00000201" +
                                    std::string(201, 'c'));
    CProbeImage image(0);
    ASSERT_EQ(image.LoadFile(dir.File("x.fpr").c_str()), 1);
    EXPECT_EQ(image.DataRanges(), (Ranges{{0x1000, 0x100F}, {0x2000, 0x20C7}}));
    EXPECT_EQ(image.GetDataByte(0x20C7), 'b');
    EXPECT_TRUE(host.questions.empty()) << "an FPR file never falls back to raw data";

    WriteAll(dir.File("y.fpr"), "0000100X00000004abcd");
    CProbeImage other(0);
    EXPECT_EQ(other.LoadFile(dir.File("y.fpr").c_str()), 1);
    EXPECT_FALSE(other.IsImageDataPresent());

    // Round trip: blank chunks skipped, 200-byte records.
    CProbeImage source(0);
    Bytes data = Random(450, 3);
    std::replace(data.begin(), data.end(), BYTE(0xFF), BYTE(0));
    std::fill(data.begin() + 200, data.begin() + 400, 0xFF);
    source.SetUseThreshold(FALSE);
    source.Write(0x500, data);
    ASSERT_EQ(source.SaveFile(dir.File("z.fpr").c_str(), 0, 0xFFFFFFFF, 0), 1);
    EXPECT_EQ(zftest::ReadAll(dir.File("z.fpr")).size(), 2 * 16 + 200 + 50u);
    CProbeImage back(0);
    ASSERT_EQ(back.LoadFile(dir.File("z.fpr").c_str()), 1);
    EXPECT_EQ(back.Read(0x500, 450), data);
}

TEST(CDEFile, SavesFlatImageAndAsksAboutPadding)
{
    TempDir dir;
    const std::string path = dir.File("p.cde");
    const std::string data = std::string(16, '\xFF') + "\x01\x02\x03\x04";
    // Window size, bytes written from 0, the answer, the size the question names
    // (none: a full-size file needs no padding) and the file saved.
    const std::tuple<DWORD, std::string, eQueryType, const char*, std::string> rows[] = {
        {64, data, qtYes, "64 Bytes", data + std::string(44, '\xFF')},
        {64, data, qtNo, "64 Bytes", data},
        {3072, "", qtYes, "3 K", std::string(3072, '\xFF')},
        {1536, "", qtYes, "1.50 K", std::string(1536, '\xFF')},
        {8, std::string(8, '\x07'), qtYes, nullptr, std::string(8, '\x07')},
    };
    for (const auto& [size, written, answer, named, expected] : rows) {
        SCOPED_TRACE(testing::Message() << size << " bytes, answer " << answer);
        RecordingHost host;
        host.answer = answer;
        CProbeImage image(size);
        image.Write(0, Bytes(written.begin(), written.end()));
        ASSERT_EQ(image.SaveFile(path.c_str(), 0, size - 1, 0), 1);
        EXPECT_EQ(zftest::ReadAll(path), expected);
        if (named)
            EXPECT_TRUE(AskedAbout(host, std::string("Would you like to pad the image to ") + named));
        else
            EXPECT_TRUE(host.questions.empty());
        CProbeImage back(size);
        ASSERT_EQ(back.LoadFile(path.c_str()), 1);
        EXPECT_EQ(back.Read(0, static_cast<DWORD>(expected.size())), Bytes(expected.begin(), expected.end()));
    }
}

TEST(FLASHImageFile, ForcedTypeWinsOnceOverTheExtension)
{
    RecordingHost host;
    host.answer = qtNo;
    TempDir dir;
    CProbeImage image(16);
    image.Write(2, {0x42});
    CFLASHBinaryImageFile file;
    file.ForceFileType(ftCDE);
    ASSERT_EQ(file.SaveFile(dir.File("f.mot").c_str(), 0, 15, &image, 0, 1), 1);
    EXPECT_EQ(zftest::ReadAll(dir.File("f.mot")), "\xFF\xFF\x42");
    ASSERT_EQ(file.SaveFile(dir.File("f.mot").c_str(), 0, 15, &image, 0, 1), 1);
    EXPECT_EQ(zftest::ReadAll(dir.File("f.mot")).substr(0, 3), "S00");

    // A forced form the record loader has no reader for is refused, once.
    file.ForceFileType(ftRawData);
    CProbeImage loaded(0);
    EXPECT_EQ(file.LoadFile(dir.File("f.mot").c_str(), &loaded, 0), 0);
    EXPECT_TRUE(loaded.DataRanges().empty());
    EXPECT_EQ(file.LoadFile(dir.File("f.mot").c_str(), &loaded, 0), 1);
}

// Ascending order is the reference; enough records to fill several of the
// block store's rings.
TEST(SRecordLoad, RecordOrderNeverChangesTheImageOrItsHistory)
{
    const char* kOrders[] = {"ascending", "descending", "shuffled", "interleaved"};
    const char* kPhases[] = {"loaded", "stored", "undone", "redone", "load taken back"};
    const std::vector<Rec> records = GappedRecords(1500);
    TempDir dir;
    RecordingHost host;
    std::vector<Snapshot> reference;
    for (int nOrder = 0; nOrder < 4; ++nOrder) {
        SCOPED_TRACE(kOrders[nOrder]);
        const std::vector<Rec> ordered = InOrder(records, nOrder);
        std::string text;
        for (const auto& [address, data] : ordered)
            text += Record('3', 4, address, data) + "\n";
        const std::string path = dir.File(std::string(kOrders[nOrder]) + ".srec");
        WriteAll(path, text);
        CProbeImage file(0);
        ASSERT_EQ(file.LoadFile(path.c_str()), 1);
        ASSERT_TRUE(file.IsImageDataPresent());
        std::vector<Snapshot> phases = {Take(file)};

        // The same records as the loaders store them, with the history kept.
        CProbeImage image(0);
        for (const auto& [address, data] : ordered)
            image.SetDataFromFile(address, static_cast<DWORD>(data.size()), data.data());
        image.Write(0x1000 + 48 * 700 - 4, Bytes(60, 0x33)); // one edit across several records
        EXPECT_GT(image.m_UndoData.GetCount(), 0) << "the writes left history";
        phases.push_back(Take(image));
        image.UndoAllRange(0x1000 + 48 * 700, 48 * 10);
        phases.push_back(Take(image));
        EXPECT_NE(phases[1], phases[2]);
        image.RedoAll();
        phases.push_back(Take(image));
        image.UndoFileLoad();
        phases.push_back(Take(image));
        ASSERT_FALSE(HasFatalFailure());
        if (reference.empty())
            reference = phases;
        for (std::size_t i = 0; i < phases.size(); ++i)
            EXPECT_TRUE(phases[i] == reference[i]) << kPhases[i];
    }
    EXPECT_TRUE(host.questions.empty());
}

TEST(ImageFileStatus, LoadsAndSavesNameTheFileAndEndWithClearedPanes)
{
    TempDir dir;
    const std::string mot = dir.File("a.mot"), bad = dir.File("b.mot"), cde = dir.File("c.cde");
    WriteAll(mot, "S1050010ABCD72\nS9030000FC\n");
    WriteAll(bad, "hello");
    PaneHost host;
    host.answer = qtNo;
    CProbeImage image(0);
    CBinaryImageFile file;
    ASSERT_EQ(file.LoadFile(mot.c_str(), &image, 1), 1);
    ASSERT_GE(host.panes.size(), 3u);
    EXPECT_EQ(host.panes.front(), std::make_pair(0, std::string("Loading File a.mot")));
    EXPECT_EQ(host.panes[host.panes.size() - 2], std::make_pair(0, std::string()));
    EXPECT_EQ(host.panes.back(), std::make_pair(1, std::string()));
    EXPECT_EQ(host.Messages().front(), "Processing S-Record file :'" + mot + "'");
    EXPECT_EQ(file.GetProgressString(), "Processing S-Record file");
    EXPECT_EQ(image.Read(0x10, 2), (Bytes{0xAB, 0xCD}));

    // Not a record: the raw load names the file its own way.
    host.panes.clear();
    host.shown.clear();
    ASSERT_EQ(file.LoadFile(bad.c_str(), &image, 0), 1);
    EXPECT_TRUE(host.panes.size() == 4u && host.panes[0].second.empty()) << "no file name without status";
    const auto messages = host.Messages();
    ASSERT_GE(messages.size(), 2u);
    EXPECT_EQ(messages[0], "Processing S-Record file :'" + bad + "'");
    EXPECT_EQ(messages[1], "Processing file :'" + bad + "'");
    EXPECT_EQ(image.Read(0, 5), (Bytes{'h', 'e', 'l', 'l', 'o'}));

    host.panes.clear();
    host.shown.clear();
    ASSERT_EQ(file.SaveFile(cde.c_str(), 0, 15, &image, 1, 0), 1);
    EXPECT_EQ(host.panes.front(), std::make_pair(0, std::string("Saving File c.cde")));
    EXPECT_EQ(host.panes[1], std::make_pair(1, std::string("100%")));
    EXPECT_EQ(host.Messages().front(), "Saving image file : '" + cde + "'");
    host.shown.clear();
    ASSERT_EQ(file.LoadFile(cde.c_str(), &image, 0), 1);
    EXPECT_EQ(host.Messages().front(), "Loading image file : '" + cde + "'");
}

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
