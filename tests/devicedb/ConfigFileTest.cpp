#include <gtest/gtest.h>

#include <cfloat>
#include <fstream>
#include <tuple>
#include <vector>

#include "TestSupport.h"
#include "devicedb/ConfigFile.h"

namespace {
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
