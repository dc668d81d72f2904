#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <tuple>

#include "TestSupport.h"
#include "devicedb/DeviceInfo.h"
#include "platform/Archive.h"

namespace {
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

const CBlockItem& Block(const CDeviceInfo& info, int i)
{
    return *static_cast<const CBlockItem*>(info.m_EraseBlocks.GetAt(info.m_EraseBlocks.FindIndex(i)));
}
} // namespace

// Texts and numbers, "True" and the cut TCKDiv included, are checked through
// the archive form below.
TEST(CDeviceInfo, LoadsEveryKeyWithItsConversion)
{
    zftest::TempDir dir;
    CDeviceInfo info;
    info.LoadDeviceInfo(Write(dir, kFull).c_str());
    EXPECT_FLOAT_EQ(static_cast<float>(info.m_dEVBClock), 19.6608f);
    EXPECT_EQ(info.m_eBRRFormula, ctPavFormula);

    // Three blocks asked for, two described: the third is empty.
    ASSERT_EQ(info.m_EraseBlocks.GetCount(), 3);
    // EBR0 keeps the low 8 bits of 257.
    EXPECT_EQ(std::make_pair(Block(info, 0).m_byEBR0, Block(info, 0).m_byEBR2), std::make_pair(BYTE(1), BYTE(3)));
    EXPECT_EQ(std::make_tuple(Block(info, 1).m_strBlockName, Block(info, 1).m_lStart, Block(info, 1).m_lSize),
              std::make_tuple(CString("EB1"), 0x8000, 0x8000));
    EXPECT_EQ(std::make_pair(Block(info, 2).m_strBlockName, Block(info, 2).m_lSize), std::make_pair(CString(), 0));
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

TEST(CDeviceInfo, CopiesOwnTheirBlocks)
{
    zftest::TempDir dir;
    CDeviceInfo source;
    source.LoadDeviceInfo(Write(dir, kFull).c_str());
    source.m_dwReserved2[3] = 77;
    source.m_strReserved[1] = "kept";
    static_cast<CBlockItem*>(source.m_EraseBlocks.GetHead())->m_bWritten = 1;
    CDeviceInfo copy(&source, CDeviceInfo::s_KernelRootPath);
    EXPECT_TRUE(copy.HasSameDefinition(source));
    EXPECT_EQ(copy.ResolvePath("x"), source.ResolvePath("x"));
    EXPECT_NE(copy.m_EraseBlocks.GetHead(), source.m_EraseBlocks.GetHead());
    EXPECT_EQ(Block(copy, 0).m_bWritten, 0);
    CDeviceInfo empty(nullptr, "");
    EXPECT_TRUE(empty.HasSameDefinition(CDeviceInfo()));
}

TEST(CDeviceInfo, ArchiveFormKeepsFieldOrder)
{
    zftest::TempDir dir;
    CDeviceInfo info;
    info.LoadDeviceInfo(Write(dir, kFull).c_str());
    info.m_dwReserved1[0] = 0x11;
    info.m_strReserved[3] = "r3";
    info.m_dwReserved2[3] = 0x77;
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

    CDeviceInfo odd;
    odd.m_EraseBlocks.AddTail(new CBlockItem("EB0", 0, 1, 0, 0, 0));
    odd.m_EraseBlocks.AddTail(new CDeviceInfo);
    CMemFile oddFile;
    CArchive oddOut(&oddFile, CArchive::store);
    odd.Serialize(oddOut);
    CMemFile oddIn(oddFile.Data());
    CArchive oddAr(&oddIn, CArchive::load);
    CDeviceInfo oddLoaded;
    oddLoaded.Serialize(oddAr);
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
