#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>

#include "TestSupport.h"
#include "devicedb/DeviceDB.h"
#include "platform/Archive.h"

namespace {
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

TEST(CFLASHDeviceDB, SavesItsListInArchiveForm)
{
    zftest::TempDir dir;
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
}

TEST(CFLASHDeviceDB, UnwritableSavePathAsksToCheckTheFile)
{
    zftest::TempDir dir;
    zftest::RecordingHost host;
    CFLASHDeviceDB db;
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
