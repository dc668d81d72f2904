#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <tuple>

#include "TestSupport.h"
#include "devicedb/DeviceDB.h"
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

fs::path DevicesFolder()
{
    return zftest::SourcePath("devices");
}

std::unique_ptr<CDeviceInfo> Load(const char* name)
{
    const std::string path = (DevicesFolder() / name).string();
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
} // namespace

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
    CMemFile foreign;
    CArchive out(&foreign, CArchive::store);
    CObList list;
    CBlockItem stray;
    list.AddTail(&stray);
    list.Serialize(out);
    CMemFile back(foreign.Data());
    CArchive in2(&back, CArchive::load);
    CFLASHDeviceDB rejected;
    rejected.Serialize(in2);
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
    for (const auto& entry : fs::directory_iterator(DevicesFolder())) {
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
