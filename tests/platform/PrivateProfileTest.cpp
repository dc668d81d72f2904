#include <gtest/gtest.h>

#include <fstream>

#include "TestSupport.h"
#include "platform/PrivateProfile.h"

namespace {
class PrivateProfile : public ::testing::Test
{
protected:
    void Put(const std::string& content) { std::ofstream(m_path, std::ios::binary) << content; }
    std::string Contents() const { return zftest::ReadAll(m_path); }
    CString Get(const char* section, const char* key, const char* def = "<default>", DWORD size = 1024)
    {
        return GetPrivateProfileStringA(section, key, def, m_path.c_str(), size);
    }

    zftest::TempDir m_dir;
    std::string m_path = m_dir.File("device.ini");
};
} // namespace

TEST_F(PrivateProfile, ReadsStringsAndIntegersWithThePlatformRules)
{
    Put("; comment line\n"
        "orphan=before any section\n"
        "[Device]\n"
        "  Name = Zentra 2600  \n"
        "name=second value loses\n"
        "  ; Ram Size=1\n"
        "Ram Size=0x2000 ; not a comment\n"
        "Empty=\n"
        "Quoted=\"Japan \"\n"
        "Equals=a=b\n"
        "no equals sign here\n"
        "[Other]\n"
        "Name=other\n"
        "[DEVICE]\n"
        "Late=from the repeated section\n"
        "Name=too late\n");
    EXPECT_EQ(Get("device", "NAME"), "Zentra 2600");
    EXPECT_EQ(Get("Device", "Ram Size"), "0x2000 ; not a comment");
    EXPECT_EQ(Get("Device", "Empty"), "");
    EXPECT_EQ(Get("Device", "Quoted"), "Japan ");
    EXPECT_EQ(Get("Device", "Equals"), "a=b");
    EXPECT_EQ(Get("Device", "Late"), "from the repeated section");
    EXPECT_EQ(Get("Device", "orphan"), "<default>");
    EXPECT_EQ(Get("Device", "; Ram Size"), "<default>");
    EXPECT_EQ(Get("Other", "Name"), "other");
    EXPECT_EQ(Get("Missing", "Name"), "<default>");

    // Integers take the leading number.
    Put("[S]\nA=12abc\nB=-3\nC=abc\nD=\n");
    const std::pair<const char*, int> cases[] = {{"A", 12}, {"B", -3}, {"C", 0}, {"D", 0}, {"Missing", 7}};
    for (const auto& [key, value] : cases)
        EXPECT_EQ(static_cast<int>(GetPrivateProfileIntA("S", key, 7, m_path.c_str())), value) << key;

    // Missing, unreadable or binary files read as empty; a bare "[" opens a section with an empty name.
    Put(std::string("\0\xff\xfe[S\0]\n\x01=\x02\n", 13));
    EXPECT_EQ(Get("S", "K"), "<default>");
    EXPECT_EQ(GetPrivateProfileStringA("S", "K", "d", m_dir.Path().c_str()), "d");
    EXPECT_EQ(GetPrivateProfileStringA("S", "K", "d", m_dir.File("none.ini").c_str()), "d");
    Put("[\nk=v\n");
    EXPECT_EQ(Get("", "k"), "v");
}

TEST_F(PrivateProfile, CrLfFilesAreReadAndWrittenAndLongValuesCut)
{
    const std::string text = "[S]\r\nLong=" + std::string(2000, 'v') + "\r\nShort=ok\r\n";
    Put(text);
    EXPECT_EQ(Get("S", "Long").GetLength(), 1023);
    EXPECT_EQ(Get("S", "Long", "", 255).GetLength(), 254);
    EXPECT_EQ(Get("S", "Short"), "ok");
    // A written value keeps the file's line ends and cannot inject lines.
    ASSERT_TRUE(WritePrivateProfileStringA("S", "y", "two\nlines", m_path.c_str()));
    EXPECT_EQ(Contents(), text + "y=two lines\r\n");
}

TEST_F(PrivateProfile, WriteReplacesTheFirstValueAndKeepsEverythingElse)
{
    Put("; keep me\n[Serial]\nSleepTime = 5\nsleeptime=9\n\n[FBI]\nffThreshold=0\n");
    ASSERT_TRUE(WritePrivateProfileStringA("serial", "SLEEPTIME", "20", m_path.c_str()));
    EXPECT_EQ(Contents(), "; keep me\n[Serial]\nSleepTime=20\nsleeptime=9\n\n[FBI]\nffThreshold=0\n");
    ASSERT_TRUE(WritePrivateProfileStringA("Serial", "SleepCount", "2", m_path.c_str()));
    EXPECT_EQ(Contents(), "; keep me\n[Serial]\nSleepTime=20\nsleeptime=9\nSleepCount=2\n\n[FBI]\nffThreshold=0\n");
    ASSERT_TRUE(WritePrivateProfileStringA("Programmer", "ReadbackVerify", "2", m_path.c_str()));
    EXPECT_EQ(Get("Programmer", "ReadbackVerify"), "2");
    EXPECT_EQ(Get("FBI", "ffThreshold"), "0");
}

TEST_F(PrivateProfile, WriteCreatesFoldersOrFailsWithTheReasonAndLosesNothing)
{
    const std::string nested = m_dir.File("a/b/settings.ini");
    ASSERT_TRUE(WritePrivateProfileStringA("FBI", "ffThreshold", "8", nested.c_str()));
    EXPECT_EQ(GetPrivateProfileIntA("FBI", "ffThreshold", 0, nested.c_str()), 8u);

    Put("[A]\nx=1\n");
    int err = 0;
    EXPECT_FALSE(WritePrivateProfileStringA("A", "x", "2", (m_path + "/settings.ini").c_str(), &err));
    EXPECT_EQ(err, ENOTDIR);
    EXPECT_EQ(Contents(), "[A]\nx=1\n");
    EXPECT_FALSE(WritePrivateProfileStringA("A", "x", "1", m_dir.Path().c_str(), &err));
    EXPECT_NE(err, 0);
    EXPECT_FALSE(WritePrivateProfileStringA("", "x", "1", m_path.c_str()));
    EXPECT_FALSE(WritePrivateProfileStringA("A", "", "1", m_path.c_str()));
    // A file too large to read whole is refused, not cut.
    Put("[A]\nx=1\n" + std::string(kMaxProfileFileSize, ';'));
    EXPECT_FALSE(WritePrivateProfileStringA("A", "x", "2", m_path.c_str(), &err));
    EXPECT_EQ(err, EFBIG);
    EXPECT_EQ(Get("A", "x"), "1");
    EXPECT_EQ(Contents().size(), kMaxProfileFileSize + 8);
}

TEST_F(PrivateProfile, AMemoryFileFindsSectionsReadsAndWritesAsTheFileDoes)
{
    std::string text = "orphan=x\n[Device]\nName = a\nname=b\nEmpty=\n; Late=c\n  [ Spaced ]  \n; [Comment]\n"
                       "[Other\nName=o\n[DEVICE]\nLate=d\n";
    Put(text);
    const CString memory("/nonexistent/memory.ini");
    SetPrivateProfileMemoryFile(memory, &text);
    const std::pair<const char*, bool> sections[] = {{"device", true},    {"SPACED", true},  {"Other", true},
                                                     {"Comment", false}, {"orphan", false}, {"None", false}};
    for (const auto& [section, present] : sections) {
        EXPECT_EQ(PrivateProfileHasSection(section, memory), present) << section;
        EXPECT_EQ(PrivateProfileHasSection(section, m_path.c_str()), present) << section;
    }
    const std::pair<const char*, const char*> keys[] = {{"device", "NAME"}, {"Device", "Empty"}, {"Device", "Late"},
                                                        {"Device", "orphan"}, {"Other", "name"}, {"None", "Name"}};
    for (const auto& [section, key] : keys)
        EXPECT_EQ(GetPrivateProfileStringA(section, key, "<default>", memory), Get(section, key)) << key;
    // A write changes the text, and the next read sees it.
    ASSERT_TRUE(WritePrivateProfileStringA("Device", "Name", "written", memory));
    ASSERT_TRUE(WritePrivateProfileStringA("Device", "Name", "written", m_path.c_str()));
    EXPECT_EQ(text, Contents());
    EXPECT_EQ(GetPrivateProfileStringA("Device", "Name", "", memory), "written");
    // A new text, set again, is indexed anew.
    text = "[New]\nk=1\n";
    SetPrivateProfileMemoryFile(memory, &text);
    EXPECT_TRUE(PrivateProfileHasSection("new", memory));
    EXPECT_FALSE(PrivateProfileHasSection("Device", memory));
    EXPECT_EQ(GetPrivateProfileStringA("New", "k", "", memory), "1");
    SetPrivateProfileMemoryFile(memory, nullptr);
    EXPECT_EQ(GetPrivateProfileStringA("New", "k", "<gone>", memory), "<gone>");
}
