#include <gtest/gtest.h>

#include <tuple>
#include <vector>

#include "TestSupport.h"
#include "version/Version.h"

TEST(VersionRecord, HoldsTheLibrarysIdentityAndChannelKinds)
{
    const CNorvaneLibVersion* v = GetVersionNorvane();
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v, GetVersionNorvane());
    EXPECT_EQ(std::make_tuple(v->m_nMajor, v->m_nMinor, v->m_nBuild), std::make_tuple(BYTE(1), BYTE(0), 197u));
    EXPECT_TRUE(v->m_strNote.IsEmpty());
    EXPECT_FALSE(v->m_strLegal.IsEmpty());
    EXPECT_EQ(v->m_strBuildDate, "06 January, 2000  12:23:36");
    EXPECT_EQ(v->m_strDescription, "Orlanto Zentra FLASH programming library");
    EXPECT_EQ(v->GetSupportedCommsCount(), 2);
    EXPECT_EQ((std::vector<CString>{v->GetCommsName(-1), v->GetCommsName(0), v->GetCommsName(1), v->GetCommsName(2)}),
              (std::vector<CString>{"", "Serial", "Pelto", ""}));
}

TEST(InstallLocale, JapanMatchesWithoutRegardToCase)
{
    zftest::ScopedSettings settings;
    EXPECT_EQ(IsAJapanInstall(), 0);
    // Quotes are kept, and the user's own sections are not the machine's.
    const std::string machine = "[Machine\\SOFTWARE\\Orlanto\\Velk\\2.2]\nInstall Country=";
    for (const auto& [content, expected] : {std::pair{machine + "Japan\n", 1}, {machine + "JAPAN\n", 1},
                                            {machine + "japan\n", 1}, {machine + "\"Japan \"\n", 0},
                                            {machine + "United Kingdom\n", 0},
                                            {std::string("[SOFTWARE\\Orlanto\\Velk\\2.2]\nInstall Country=Japan\n"), 0}}) {
        settings.Write(content);
        EXPECT_EQ(IsAJapanInstall(), expected) << content;
    }
}
