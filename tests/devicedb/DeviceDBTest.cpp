// Device definitions: the file reader under them, their keys and archive form,
// the device list, and the definitions shipped under devices/.
#include <gtest/gtest.h>

#include <cfloat>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <tuple>
#include <vector>

#include "TestSupport.h"
#include "devicedb/ConfigFile.h"
#include "devicedb/DeviceDB.h"
#include "devicedb/DeviceInfo.h"
#include "platform/Archive.h"

namespace {
namespace fs = std::filesystem;

// Runs a scope in another working folder.
class ScopedCwd
{
public:
    explicit ScopedCwd(const std::filesystem::path& p) : m_old(std::filesystem::current_path())
    {
        std::filesystem::current_path(p);
    }
    ~ScopedCwd() { std::filesystem::current_path(m_old); }

private:
    std::filesystem::path m_old;
};

std::unique_ptr<CDeviceInfo> Load(const char* name)
{
    const std::string path = zftest::SourcePath(std::string("devices/") + name);
    EXPECT_TRUE(g_FLASHDeviceDB.FindDevice(path.c_str())) << path;
    return std::unique_ptr<CDeviceInfo>(g_FLASHDeviceDB.GetDeviceInfo(path.c_str()));
}

std::vector<const CBlockItem*> Blocks(const CDeviceInfo& info)
{
    std::vector<const CBlockItem*> v;
    for (const CObject* p : info.m_EraseBlocks)
        v.push_back(static_cast<const CBlockItem*>(p));
    return v;
}

const char* const kFull = "[Device Info]\n"
                          "Kernel Handshake=True\nEVB Name=Board\nEVB Clock MHz=19.6608\nuKernel=k/uk.bin\n"
                          "USER uKernel=k/uuk.bin\nMain Kernel=k/main.bin\nUSER Main Kernel=/abs/umain.bin\n"
                          "CheckBlank module=k/cb.bin\nErase module=k/er.bin\nRead module=k/rd.bin\n"
                          "Verify module=k/vf.bin\nWrite module=k\\wr.bin\nDefault Interface=Direct\n"
                          "RAM Size=8192\nFLASH ROM Size=65536\nBRR Formula=ctPavFormula\nBaud Rate 0=115200\n"
                          "JTAG Available=1\nJTAG Default TCKDiv=70001\nJTAG Default CLK=8\nBOOT Mode Auto Erase=false\n"
                          "Erase Block Count=3\nProtocol=1\nTechnology=SF2\nDevice Code=DC\nProduct Code=PC\n"
                          "Main Function Overlay=1\n"
                          "[Kernel Info]\nBase Device=ZT31\n"
                          "[Erase Block 0]\nBlock Name=EB0\nStart (Hex)=0\nSize (Hex)=8000\nEBR0=257\nEBR1=2\nEBR2=3\n"
                          "[erase block 1]\nblock name=EB1\nstart (hex)=0x8000\nsize (hex)=8000\n";

std::string Write(const zftest::TempDir& dir, const std::string& content, const char* name = "dev.ini")
{
    const std::string path = dir.File(name);
    std::ofstream(path, std::ios::binary) << content;
    return path;
}

// Stores one object and loads what it wrote into another.
void RoundTrip(CObject& from, CObject& to)
{
    CMemFile out;
    CArchive store(&out, CArchive::store);
    from.Serialize(store);
    CMemFile in(out.Data());
    CArchive load(&in, CArchive::load);
    to.Serialize(load);
}

class ConfigFile : public ::testing::Test
{
protected:
    void Put(const std::string& content) { std::ofstream(m_path, std::ios::binary) << content; }
    void SetUp() override
    {
        Put("");
        ASSERT_TRUE(m_file.SetFileName(m_path.c_str()));
    }
    int Int(const char* key, int start = -99)
    {
        int v = start;
        EXPECT_TRUE(m_file.GetInt("S", key, 7, &v));
        return v;
    }
    unsigned long Hex(const char* key, bool hex = true)
    {
        unsigned long v = 1234;
        EXPECT_TRUE(m_file.GetUnsigned("S", key, 0xFFFF8000ul, &v, hex));
        return v;
    }

    zftest::TempDir m_dir;
    std::string m_path = m_dir.File("def.ini");
    CConfigFile m_file;
};

} // namespace

// Texts and numbers, "True" and the cut TCKDiv included, are checked through
// the archive form below.
TEST_F(ConfigFile, IntegersTakeTrueFalseAndLeadingDigitsFromTheFileAsItIsNow)
{
    Put("[s]\nA = tRuE\nB=FALSE\nC=12abc\nD=abc\nE=\nF=99999999999\nG=-7\nH = 5 ; not a comment\n");
    // E: present but empty leaves the output alone.
    for (auto [key, expected] : {std::pair{"a", 1}, {"B", 0}, {"C", 12}, {"D", 0}, {"E", -99}, {"Missing", 7},
                                 {"F", INT_MAX}, {"G", -7}, {"H", 5}})
        EXPECT_EQ(Int(key), expected) << key;
    Put("[S]\nA=2\n");
    EXPECT_EQ(Int("A"), 2) << "every lookup reads the file anew";
    Put(std::string("\0\xff\x7f[S]\r\nA\0=9\n", 13));
    EXPECT_EQ(Int("A"), 7) << "binary content reads as a file without the key";
}

TEST_F(ConfigFile, UnsignedNumbersInBase16Or10)
{
    Put("[S]\nA=FFFF8000\nB=0x10\nC=1234567890123\nD=-1\nE=zz\nF=\nG=8000\n");
    // Base 10 saturates at 32 bits.
    for (auto [key, hex, expected] :
         {std::tuple{"A", true, 0xFFFF8000ul}, {"B", true, 16ul}, {"B", false, 0ul}, {"G", false, 8000ul},
          {"C", false, 0xFFFFFFFFul}, {"D", false, 0xFFFFFFFFul}, {"E", true, 0ul}, {"F", true, 1234ul},
          {"Missing", true, 0xFFFF8000ul}, {"Missing", false, 0xFFFF8000ul}})
        EXPECT_EQ(Hex(key, hex), expected) << key << (hex ? " base 16" : " base 10");
}

TEST_F(ConfigFile, FloatsTakeOnlyPlainDecimalNumbers)
{
    Put("[S]\nA=19.6608 MHz\nB=1e3\nC=nan\nD=0x10\nE=1e999\n");
    const auto get = [&](const char* key) {
        float v = -1.0f;
        EXPECT_TRUE(m_file.GetFloat("S", key, 2.5f, &v));
        return v;
    };
    for (auto [key, expected] :
         {std::pair{"A", 19.6608f}, {"B", 1000.0f}, {"C", 0.0f}, {"D", 0.0f}, {"E", FLT_MAX}, {"Missing", 2.5f}})
        EXPECT_EQ(get(key), expected) << key;
}

// The reader's own rules (case, quotes, repeated sections) are tested with the reader.
TEST_F(ConfigFile, StringsAreTrimmedAndAnEmptyValueKeepsTheOutput)
{
    const std::string longValue(3000, 'x');
    Put("[S]\nName =  \"Zentra 31\"  \nEmpty=\nLong=" + longValue + "\n");
    CString v = "unchanged";
    EXPECT_TRUE(m_file.GetString("s", "NAME", "d", v));
    EXPECT_EQ(v, "Zentra 31");
    EXPECT_TRUE(m_file.GetString("S", "Empty", "d", v));
    EXPECT_EQ(v, "Zentra 31");
    EXPECT_TRUE(m_file.GetString("S", "Long", "d", v));
    EXPECT_EQ(v.GetLength(), 1023);
    EXPECT_TRUE(m_file.GetString("Other", "Name", "  dflt ", v));
    EXPECT_EQ(v, "dflt");
}

TEST_F(ConfigFile, ListsSplitAtBarsUpToTheCapacityAndReadBackAsWritten)
{
    Put("[S]\nT = a | b b |c\nGap=a||\nU=FF|0x10|zz\n");
    CString s[3] = {"-", "-", "-"};
    int count = 2;
    EXPECT_TRUE(m_file.GetStringList("S", "T", s, &count));
    EXPECT_EQ(count, 2);
    EXPECT_EQ(s[1], "b b");
    EXPECT_EQ(s[2], "-");
    count = 3;
    EXPECT_TRUE(m_file.GetStringList("S", "Gap", s, &count));
    EXPECT_EQ(count, 3);
    EXPECT_EQ(s[1], "");
    count = 3;
    EXPECT_TRUE(m_file.GetStringList("S", "Missing", s, &count));
    EXPECT_EQ(count, 0);
    unsigned long u[3];
    count = 3;
    EXPECT_TRUE(m_file.GetUnsignedList("S", "U", u, &count, true));
    EXPECT_EQ(std::vector<unsigned long>(u, u + count), (std::vector<unsigned long>{255, 16, 0}));

    // Written lists read back.
    Put("");
    const int ints[] = {-1, 2};
    const unsigned long addrs[] = {0x8000, 0xFFFF8000ul};
    EXPECT_TRUE(m_file.WriteIntList("W", "Ints", ints, 2));
    EXPECT_TRUE(m_file.WriteUnsignedList("W", "Addrs", addrs, 2, true));
    EXPECT_EQ(zftest::ReadAll(m_path), "[W]\nInts=-1|2\nAddrs=8000|FFFF8000\n");
    int back[4];
    count = 4;
    EXPECT_TRUE(m_file.GetIntList("W", "Ints", back, &count));
    EXPECT_EQ(std::vector<int>(back, back + count), (std::vector<int>{-1, 2}));
}

TEST_F(ConfigFile, InvalidRequestsGiveDefaultsAndFalse)
{
    CConfigFile unset;
    EXPECT_FALSE(unset.SetFileName(m_dir.File("absent.ini").c_str()));
    EXPECT_FALSE(unset.SetFileName(""));
    EXPECT_TRUE(unset.GetFileName().IsEmpty());
    Put("[S]\nA=5\n");
    int v = 0;
    EXPECT_FALSE(unset.GetInt("S", "A", 3, &v));
    EXPECT_EQ(v, 3);
    EXPECT_FALSE(m_file.GetInt("", "A", 4, &v));
    EXPECT_EQ(v, 4);
    CString s;
    EXPECT_FALSE(m_file.GetString("S", "", "dflt", s));
    EXPECT_EQ(s, "dflt");
    int count = 5;
    EXPECT_FALSE(unset.GetIntList("S", "A", &v, &count));
    EXPECT_EQ(count, 0);
    EXPECT_FALSE(unset.WriteInt("S", "A", 1));
    EXPECT_FALSE(m_file.WriteString("", "A", "x"));
    // A failed SetFileName keeps the old path.
    EXPECT_FALSE(m_file.SetFileName(m_dir.File("absent.ini").c_str()));
    EXPECT_TRUE(m_file.GetInt("S", "A", 0, &v));
    EXPECT_EQ(v, 5);
}

TEST(CDeviceInfo, LoadsEveryKeyWithItsConversion)
{
    zftest::TempDir dir;
    CDeviceInfo info;
    info.LoadDeviceInfo(Write(dir, kFull).c_str());
    EXPECT_FLOAT_EQ(static_cast<float>(info.m_dEVBClock), 19.6608f);
    EXPECT_EQ(info.m_eBRRFormula, ctPavFormula);

    // Three blocks asked for, two described: the third is empty.
    const auto blocks = Blocks(info);
    ASSERT_EQ(blocks.size(), 3u);
    // EBR0 keeps the low 8 bits of 257.
    EXPECT_EQ(std::make_pair(blocks[0]->m_byEBR0, blocks[0]->m_byEBR2), std::make_pair(BYTE(1), BYTE(3)));
    EXPECT_EQ(std::make_tuple(blocks[1]->m_strBlockName, blocks[1]->m_lStart, blocks[1]->m_lSize),
              std::make_tuple(CString("EB1"), 0x8000, 0x8000));
    EXPECT_EQ(std::make_pair(blocks[2]->m_strBlockName, blocks[2]->m_lSize), std::make_pair(CString(), 0));
}

TEST(CDeviceInfo, MissingFileOrKeysGiveDefaults)
{
    zftest::TempDir dir;
    CDeviceInfo defaults;
    defaults.m_strBRRFormula = "ctSimpleDivide";
    for (const std::string& path : {dir.File("absent.ini"), Write(dir, std::string("\x7f" "ELF\0\1", 6)), dir.Path().string()}) {
        CDeviceInfo info;
        info.LoadDeviceInfo(path.c_str());
        EXPECT_TRUE(info.HasSameDefinition(defaults)) << path;
    }
    CDeviceInfo info;
    info.LoadDeviceInfo(Write(dir, "[Device Info]\nBRR Formula=ctpavformula\nKernel Handshake=90\n").c_str());
    EXPECT_EQ(info.m_eBRRFormula, ctSimpleDivide) << "names compare with case";
    EXPECT_EQ(info.m_strBRRFormula, "ctpavformula");
    EXPECT_EQ(info.m_byKernelHandshake, 90);

    // A key left empty is missing, not the number of its kind read before it.
    info.LoadDeviceInfo(
        Write(dir, "[Device Info]\nRAM Size=8192\nFLASH ROM Size=\nJTAG Available=1\nBOOT Mode Auto Erase=\n").c_str());
    EXPECT_EQ(std::make_tuple(info.m_dwRAMSize, info.m_dwFLASHROMSize, info.m_bBOOTModeAutoErase),
              std::make_tuple(8192u, 0u, 0));
}

TEST(CDeviceInfo, AbsurdBlockCountsAreBounded)
{
    zftest::TempDir dir;
    zftest::RecordingHost host;
    CDeviceInfo info;
    info.LoadDeviceInfo(Write(dir, "[Device Info]\nErase Block Count=100000\n").c_str());
    EXPECT_EQ(info.m_EraseBlocks.GetCount(), CDeviceInfo::kMaxEraseBlocks);
    ASSERT_EQ(host.shown.size(), 1u);
    EXPECT_EQ(host.shown[0].kind, skWarning);
    EXPECT_NE(host.shown[0].text.find("100000"), std::string::npos);

    info.LoadDeviceInfo(Write(dir, "[Device Info]\nErase Block Count=-5\nEVB Name=\n").c_str());
    EXPECT_EQ(info.m_EraseBlocks.GetCount(), 0) << "a reload starts from an empty list";
}

// Copies own their blocks and start them unwritten.
TEST(CDeviceInfo, CopiesAndTheArchiveFormKeepEveryFieldInOrder)
{
    zftest::TempDir dir;
    CDeviceInfo info;
    info.LoadDeviceInfo(Write(dir, kFull).c_str());
    info.m_dwReserved1[0] = 0x11;
    info.m_strReserved[3] = "r3";
    info.m_dwReserved2[3] = 0x77;
    static_cast<CBlockItem*>(info.m_EraseBlocks.GetHead())->m_bWritten = 1;
    CDeviceInfo copy(&info, CDeviceInfo::s_KernelRootPath);
    EXPECT_TRUE(copy.HasSameDefinition(info));
    EXPECT_EQ(copy.ResolvePath("x"), info.ResolvePath("x"));
    EXPECT_NE(copy.m_EraseBlocks.GetHead(), info.m_EraseBlocks.GetHead());
    EXPECT_EQ(Blocks(copy)[0]->m_bWritten, 0);
    CDeviceInfo empty(nullptr, "");
    EXPECT_TRUE(empty.HasSameDefinition(CDeviceInfo()));

    CMemFile file;
    {
        CArchive ar(&file, CArchive::store);
        info.Serialize(ar);
        ASSERT_FALSE(ar.HasFailed());
    }
    // Walk the stored form by hand: texts, then the numbers in between.
    CMemFile raw(file.Data());
    CArchive in(&raw, CArchive::load);
    BYTE handshake = 0;
    CString t[20];
    DWORD baud = 0, ram = 0, flash = 0, jtag = 0, autoErase = 0, protocol = 0, overlay = 0, count = 0;
    DWORD r[8];
    WORD tck = 0, clk = 0;
    double clock = 0;
    in >> handshake >> t[0] >> t[1] >> t[2] >> t[3] >> t[4] >> baud >> t[5] >> t[6] >> t[7] >> ram >> t[8] >> t[9] >>
        t[10] >> t[11] >> flash >> jtag >> tck >> clk >> autoErase >> t[12] >> clock >> protocol >> t[13] >> r[0] >>
        r[1] >> r[2] >> r[3] >> t[14] >> t[15] >> t[16] >> t[17] >> t[18] >> t[19] >> r[4] >> r[5] >> r[6] >> r[7] >>
        overlay >> count;
    const std::vector<CString> texts(t, t + 20), expected = {
        "Board", "k/uk.bin", "k/main.bin", "k/uuk.bin", "/abs/umain.bin", "ctPavFormula", "k/cb.bin", "k/er.bin",
        "k/rd.bin", "k/vf.bin", "k\\wr.bin", "Direct", "ZT31", "SF2", "DC", "PC", "", "", "", "r3"};
    EXPECT_EQ(texts, expected);
    EXPECT_EQ(std::vector<DWORD>({handshake, baud, ram, flash, jtag, tck, clk, autoErase, protocol, r[0], r[7],
                                  overlay, count}),
              std::vector<DWORD>({1, 115200, 8192, 65536, 1, 70001 & 0xFFFF, 8, 0, 1, 0x11, 0x77, 1, 3}));
    EXPECT_EQ(clock, info.m_dEVBClock);

    CMemFile again(file.Data());
    CArchive ar(&again, CArchive::load);
    CDeviceInfo loaded;
    loaded.Serialize(ar);
    EXPECT_FALSE(ar.HasFailed());
    EXPECT_EQ(again.GetPosition(), again.GetLength());
    EXPECT_TRUE(loaded.HasSameDefinition(info));
    EXPECT_EQ(loaded.m_eBRRFormula, ctPavFormula);

    // A cut archive fails without crashing; only erase blocks enter the block list.
    std::vector<BYTE> cut(file.Data().begin(), file.Data().end() - 3);
    CMemFile shortFile(cut);
    CArchive shortAr(&shortFile, CArchive::load);
    CDeviceInfo partial;
    partial.Serialize(shortAr);
    EXPECT_TRUE(shortAr.HasFailed());
    EXPECT_EQ(partial.m_EraseBlocks.GetCount(), 2);

    CDeviceInfo odd, oddLoaded;
    odd.m_EraseBlocks.AddTail(new CBlockItem("EB0", 0, 1, 0, 0, 0));
    odd.m_EraseBlocks.AddTail(new CDeviceInfo);
    RoundTrip(odd, oddLoaded);
    EXPECT_EQ(oddLoaded.m_EraseBlocks.GetCount(), 1);
}

TEST(CDeviceInfo, RelativeEntriesResolveUnderTheDefinitionFolder)
{
    zftest::TempDir dir;
    std::filesystem::create_directory(dir.Path() / "defs");
    CDeviceInfo info;
    info.LoadDeviceInfo(Write(dir, kFull, "defs/dev.ini").c_str());
    const std::string folder = (dir.Path() / "defs").string();
    EXPECT_EQ(info.GetDefinitionFolder(), folder);
    EXPECT_EQ(info.ResolvePath(info.m_strMainKernel), folder + "/k/main.bin");
    EXPECT_EQ(info.ResolvePath(info.m_strWriteModule), folder + "/k/wr.bin");
    EXPECT_EQ(info.ResolvePath("../x.bin"), dir.Path().string() + "/x.bin");
    EXPECT_EQ(info.ResolvePath(info.m_strUserMainKernel), "/abs/umain.bin");
    EXPECT_TRUE(info.ResolvePath("").IsEmpty());
    EXPECT_EQ(info.m_strMainKernel, "k/main.bin");
    EXPECT_EQ(CDeviceInfo().ResolvePath("a.bin"), (std::filesystem::current_path() / "a.bin").string());
}

TEST(CBlockItem, AddressTestsCoverTheWhole32BitRange)
{
    CBlockItem b("EB1", 0x8000, 0x1000, 1, 2, 3);
    CBlockItem top("Top", 0xFFFF8000l, 0x8000, 0, 0, 0);
    CBlockItem mid("Mid", 0x7FFFF000l, 0x2000, 0, 0, 0);
    EXPECT_EQ(top.m_lStart, -0x8000);
    // Single addresses, then ranges that touch the block or miss it by one.
    for (auto [item, address, inside] :
         {std::tuple{&b, 0x7FFFl, false}, {&b, 0x8000l, true}, {&b, 0x8FFFl, true}, {&b, 0x9000l, false},
          {&top, 0xFFFFFFFFl, true}, {&top, -1l, true}, {&top, 0l, false}, {&top, 0x7FFF8000l, false},
          {&mid, 0x7FFFFFFFl, true}, {&mid, 0x80000000l, true}, {&mid, 0x80000FFFl, true}, {&mid, 0x80001000l, false}})
        EXPECT_EQ(item->IsBlockAddress(address), inside) << item->m_strBlockName.GetString() << " " << address;
    for (auto [item, first, last, inside] :
         {std::tuple{&b, 0x0l, 0x8000l, true}, {&b, 0x8FFFl, 0xFFFFl, true}, {&b, 0x9000l, 0xFFFFl, false},
          {&b, 0x0l, 0x7FFFl, false}, {&mid, 0x80000800l, 0x80000900l, true}, {&mid, 0x7FFF0000l, 0x7FFFF000l, true},
          {&mid, 0x80001000l, 0xFFFFFFFFl, false}, {&b, 0x8FFFl, 0x80000000l, true}})
        EXPECT_EQ(item->IsBlockAddress(first, last), inside) << first << "-" << last;

    b.m_bWritten = 1;
    b.m_bEraseRequest = 1;
    CBlockItem copy(&b);
    EXPECT_TRUE(copy.HasSameDefinition(b));
    EXPECT_EQ(copy.m_bWritten, 0);
    EXPECT_EQ(copy.m_bEraseRequest, 0);

    CMemFile file;
    CArchive ar(&file, CArchive::store);
    b.Serialize(ar);
    EXPECT_EQ(file.Data().size(), 4u + 3u + 4u + 4u + 3u);
    EXPECT_EQ(file.Data().back(), 3);
}

TEST(CFLASHDeviceDB, FindsGenericAndExistingFilesOnly)
{
    zftest::TempDir dir;
    const std::string def = dir.File("dev.ini");
    std::ofstream(def) << "[Device Info]\nRAM Size=4096\n";
    ScopedCwd cwd(dir.Path());
    CFLASHDeviceDB db;
    EXPECT_TRUE(db.LoadDB(""));
    EXPECT_TRUE(db.FindDevice("GENERIC"));
    EXPECT_FALSE(db.FindDevice("generic"));
    EXPECT_FALSE(db.FindDevice(""));
    EXPECT_FALSE(db.FindDevice(dir.File("absent.ini").c_str()));
    EXPECT_EQ(db.GetDeviceInfo(dir.File("absent.ini").c_str()), nullptr);
    EXPECT_TRUE(db.FindDevice(def.c_str()));

    std::unique_ptr<CDeviceInfo> a(db.GetDeviceInfo(def.c_str())), b(db.GetDeviceInfo(def.c_str()));
    ASSERT_TRUE(a && b);
    EXPECT_NE(a.get(), b.get());
    EXPECT_EQ(a->m_dwRAMSize, 4096u);
    EXPECT_TRUE(a->HasSameDefinition(*b));
    std::unique_ptr<CDeviceInfo> copy(db.CopyDeviceInfo(a.get()));
    EXPECT_TRUE(copy->HasSameDefinition(*a));
    EXPECT_EQ(db.CopyDeviceInfo(nullptr), nullptr);

    // A file named GENERIC in the working folder does not change the generic device.
    std::ofstream("GENERIC") << "[Device Info]\nRAM Size=1\n";
    std::unique_ptr<CDeviceInfo> generic(g_FLASHDeviceDB.GetDeviceInfo("GENERIC"));
    ASSERT_TRUE(generic);
    EXPECT_EQ(generic->m_dwRAMSize, 0u);
    EXPECT_TRUE(generic->m_strMainKernel.IsEmpty());
}

TEST(CFLASHDeviceDB, SavesItsListInArchiveFormOrAsksToCheckTheFile)
{
    zftest::TempDir dir;
    zftest::RecordingHost host;
    const std::string empty = dir.File("empty.db");
    CFLASHDeviceDB db;
    ASSERT_TRUE(db.SaveDB(empty.c_str()));
    EXPECT_EQ(zftest::ReadAll(empty), std::string(4, '\0')) << "a count of nought";

    auto* pInfo = new CDeviceInfo;
    pInfo->m_strEVBName = "Board";
    pInfo->m_EraseBlocks.AddTail(new CBlockItem("EB0", 0, 0x1000, 1, 0, 0));
    db.AddTail(pInfo);
    db.AddTail(new CDeviceInfo);
    const std::string full = dir.File("full.db");
    ASSERT_TRUE(db.SaveDB(full.c_str()));

    CFile file;
    ASSERT_TRUE(file.Open(full.c_str(), CFile::modeRead));
    CArchive ar(&file, CArchive::load);
    CFLASHDeviceDB loaded;
    loaded.Serialize(ar);
    EXPECT_FALSE(ar.HasFailed());
    ASSERT_EQ(loaded.GetCount(), 2);
    EXPECT_TRUE(static_cast<CDeviceInfo*>(loaded.GetHead())->HasSameDefinition(*pInfo));

    for (const char* cls : {"CDeviceInfo", "CBlockItem", "CFLASHDeviceDB"}) {
        std::unique_ptr<CObject> p(CObject::CreateObject(cls));
        EXPECT_TRUE(p && p->IsKindOf(cls)) << cls;
    }
    // Loading accepts device records only.
    CObList list;
    CBlockItem stray;
    list.AddTail(&stray);
    CFLASHDeviceDB rejected;
    RoundTrip(list, rejected);
    EXPECT_EQ(rejected.GetCount(), 0);

    // Only an unwritable path asks the user to check the file.
    EXPECT_TRUE(host.questions.empty());
    EXPECT_FALSE(db.SaveDB(dir.File("no/such/folder/x.db").c_str()));
    ASSERT_EQ(host.questions.size(), 1u);
    EXPECT_EQ(host.questions[0].text, "Please check the properties of the file ");
    EXPECT_EQ(host.questions[0].style, qtNotice);
    EXPECT_NE(db.GetLastSaveError().Find("No such file or directory"), -1);
    if (std::filesystem::exists("/dev/full")) {
        db.AddTail(new CDeviceInfo);
        EXPECT_FALSE(db.SaveDB("/dev/full"));
        EXPECT_EQ(host.questions.size(), 2u);
        EXPECT_NE(db.GetLastSaveError().Find("No space left"), -1);
    }
}

TEST(SampleDevices, EveryDefinitionIsCompleteAndConsistent)
{
    int seen = 0;
    for (const auto& entry : fs::directory_iterator(zftest::SourcePath("devices"))) {
        if (entry.path().extension() != ".ini")
            continue;
        ++seen;
        SCOPED_TRACE(entry.path().string());
        auto info = Load(entry.path().filename().c_str());
        ASSERT_TRUE(info);
        EXPECT_GT(info->m_dwRAMSize, 0u);
        EXPECT_GT(info->m_dwBaudRate0, 0u);
        EXPECT_GT(info->m_dEVBClock, 0.0);
        EXPECT_NE(info->m_byKernelHandshake, 0);
        EXPECT_FALSE(info->m_strDeviceCode.IsEmpty());
        EXPECT_TRUE(BaudCalcTypeFromText(info->m_strBRRFormula, nullptr));
        // Contiguous blocks from 0 that cover the FLASH exactly.
        long next = 0;
        for (const CBlockItem* b : Blocks(*info)) {
            EXPECT_EQ(b->m_lStart, next) << b->m_strBlockName.GetString();
            EXPECT_GT(b->m_lSize, 0);
            next += b->m_lSize;
        }
        EXPECT_EQ(static_cast<DWORD>(next), info->m_dwFLASHROMSize);
        // Every named kernel and module file exists beside the definition, whatever the working folder.
        for (const CString* file : {&info->m_strMicroKernel, &info->m_strMainKernel, &info->m_strWriteModule,
                                    &info->m_strEraseModule, &info->m_strUserMicroKernel, &info->m_strUserMainKernel,
                                    &info->m_strReadModule, &info->m_strCheckBlankModule}) {
            if (!file->IsEmpty()) {
                EXPECT_FALSE(fs::path(file->str()).is_absolute());
                EXPECT_TRUE(fs::is_regular_file(info->ResolvePath(*file).str())) << file->GetString();
            }
        }
        for (const CString* file : {&info->m_strMainKernel, &info->m_strWriteModule, &info->m_strEraseModule})
            EXPECT_FALSE(file->IsEmpty());
    }
    EXPECT_EQ(seen, 5);
}

TEST(SampleDevices, EachDeviceHasTheFactsItIsMadeFor)
{
    auto classic = Load("ZT31F256.ini");
    ASSERT_TRUE(classic);
    // Protocol, FLASH and RAM size, baud formula, JTAG.
    EXPECT_EQ(std::make_tuple(classic->m_nProtocol, classic->m_dwFLASHROMSize, classic->m_dwRAMSize,
                              classic->m_eBRRFormula, classic->m_bJTAGAvailable),
              std::make_tuple(0, 256u * 1024, 8u * 1024, ctPavFormula, 1));
    const auto blocks = Blocks(*classic);
    ASSERT_EQ(blocks.size(), 12u);
    EXPECT_EQ(std::make_tuple(blocks[0]->m_lSize, blocks[8]->m_lSize, blocks[11]->m_lSize, blocks[9]->m_byEBR1),
              std::make_tuple(0x1000, 0x8000, 0x10000, BYTE(2)));

    auto small = Load("ZT21F064.ini");
    ASSERT_TRUE(small);
    EXPECT_EQ(small->m_dwRAMSize, 2048u);
    EXPECT_FALSE(small->m_strReadModule.IsEmpty());
    EXPECT_FALSE(small->m_strCheckBlankModule.IsEmpty());

    auto overlay = Load("ZT10F016.ini");
    ASSERT_TRUE(overlay);
    EXPECT_NE(overlay->m_nMainFunctionOverlay, 0);
    EXPECT_EQ(overlay->m_dwRAMSize, 1024u);

    auto protocolB = Load("ZT52F128.ini");
    ASSERT_TRUE(protocolB);
    EXPECT_EQ(protocolB->m_nProtocol, 1);
    int index = 0;
    for (const CBlockItem* b : Blocks(*protocolB))
        EXPECT_EQ(std::atoi(b->m_strBlockName.Mid(2)), index++) << b->m_strBlockName.GetString();

    auto autoErase = Load("ZT33F128E.ini");
    ASSERT_TRUE(autoErase);
    EXPECT_NE(autoErase->m_bBOOTModeAutoErase, 0);
    EXPECT_EQ(classic->m_bBOOTModeAutoErase, 0);
    // It runs the kernels of its base device, so it expects their handshake.
    EXPECT_EQ(autoErase->GetBaseDeviceName(), "ZT31F256");
    EXPECT_EQ(autoErase->ResolvePath(autoErase->m_strMainKernel), classic->ResolvePath(classic->m_strMainKernel));
    EXPECT_EQ(autoErase->m_byKernelHandshake, classic->m_byKernelHandshake);
}
