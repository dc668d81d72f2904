#include <gtest/gtest.h>

#include <fstream>

#include "TestSupport.h"
#include "platform/SettingsKeys.h"
#include "platform/StatusUpdate.h"

namespace {
class CWarningSink : public CStatusUpdate
{
public:
    void DisplayWarning(const CString& text, WORD) override { warnings.push_back(text.str()); }
    std::vector<std::string> warnings;
};
} // namespace

TEST(CRegister, EveryKeyReadsItsDefaultFromAnEmptyOrMalformedStore)
{
    zftest::ScopedSettings settings;
    EXPECT_EQ(Settings::AllIntegers().size(), 27u);
    EXPECT_EQ(Settings::AllTexts().size(), 3u);
    for (const SSettingInt& s : Settings::AllIntegers())
        EXPECT_EQ(s.Read(), s.nDefault) << s.pszSection << "\\" << s.pszKey;
    for (const SSettingText& s : Settings::AllTexts())
        EXPECT_EQ(s.Read(), s.pszDefault) << s.pszSection << "\\" << s.pszKey;
    EXPECT_EQ(Settings::JTAGInternalTimeout.Read(), 86016u);
    EXPECT_EQ(Settings::KivuSerial.Read(), "COM1");
    EXPECT_EQ(Settings::DisconnectReset.root, rrCurrentUser);

    // So does a store that is not a settings file at all.
    settings.Write(std::string("\x7f" "ELF\0\0[Serial\nEraseTimeout\n=\n", 28));
    EXPECT_EQ(Settings::EraseTimeout.Read(), 30u);
    EXPECT_EQ(Settings::SleepCount.Read(), 1u);
}

TEST(CRegister, StoredValuesAreReadAtTheMomentOfUseAndSessionValuesWinOverThem)
{
    zftest::ScopedSettings settings;
    settings.Write("[Serial]\nEraseTimeout=45\nDummyBaudRate=1200\n[Programmer]\nDisconnectReset=2\n");
    EXPECT_EQ(Settings::EraseTimeout.Read(), 45u);
    EXPECT_EQ(Settings::DummyBaudRate.Read(), "1200");
    EXPECT_EQ(Settings::DisconnectReset.Read(), 2u);
    // The local-machine root keeps its own sections.
    settings.Write("[Serial]\nEraseTimeout=60\n[Machine\\Serial]\nEraseTimeout=2\n");
    EXPECT_EQ(Settings::EraseTimeout.Read(), 60u);
    EXPECT_EQ(Settings::DisconnectReset.Read(), 0u);
    EXPECT_EQ(CRegister(rrCurrentUser).GetProfileIntA("Serial", "EraseTimeout", 30), 60u);
    EXPECT_EQ(CRegister(rrLocalMachine).GetProfileIntA("Serial", "EraseTimeout", 30), 2u);

    // Session values win over the store for this process only and never reach the file.
    settings.Write("[FLASHJTAGComms]\nKivuSerial=/dev/ttyUSB1\nLong=2500\n");
    CRegister::SetSessionValue("flashjtagcomms", "KIVUSERIAL", "/dev/pts/9");
    CRegister::SetSessionValue("FLASHJTAGComms", "Long", "900");
    EXPECT_EQ(Settings::KivuSerial.Read(), "/dev/pts/9");
    EXPECT_EQ(Settings::JTAGLong.Read(), 900u);
    EXPECT_TRUE(Settings::JTAGQuick.Write(150)); // other keys still go to the file
    CRegister::ClearSessionValues();
    EXPECT_EQ(Settings::KivuSerial.Read(), "/dev/ttyUSB1");
    EXPECT_EQ(Settings::JTAGLong.Read(), 2500u);
    EXPECT_EQ(Settings::JTAGQuick.Read(), 150u);
}

TEST(CRegister, StoreLocationFollowsTheEnvironmentAndAnUnwritableOneWarnsThroughTheSink)
{
    zftest::ScopedSettings restore; // puts the variable back however the test ends
    zftest::TempDir dir;
    const std::string blocker = dir.File("not-a-folder");
    { std::ofstream(blocker) << "x"; }
    ::setenv("ZFLASH_SETTINGS", (blocker + "/settings.ini").c_str(), 1);
    CWarningSink sink;
    EXPECT_FALSE(Settings::FFThreshold.Write(8, &sink));
    // Reading the same unusable location still gives defaults.
    EXPECT_EQ(Settings::FFThreshold.Read(), 0u);
    EXPECT_EQ(Settings::SleepCount.Read(), 1u);
    ASSERT_EQ(sink.warnings.size(), 1u);
    EXPECT_NE(sink.warnings[0].find("FBI\\ffThreshold"), std::string::npos);
    EXPECT_NE(sink.warnings[0].find("Not a directory"), std::string::npos);

    // Without the variable, the store lives in the user's configuration folder.
    const char* oldXdg = std::getenv("XDG_CONFIG_HOME");
    const std::string savedXdg = oldXdg ? oldXdg : "";
    const char* oldHome = std::getenv("HOME");
    const std::string savedHome = oldHome ? oldHome : "";
    ::unsetenv("ZFLASH_SETTINGS");
    ::setenv("XDG_CONFIG_HOME", "/tmp/xdg-here", 1);
    EXPECT_EQ(CRegister::GetStorePath(), "/tmp/xdg-here/zflash/settings.ini");
    ::unsetenv("XDG_CONFIG_HOME");
    ::setenv("HOME", "/home/bench", 1);
    EXPECT_EQ(CRegister::GetStorePath(), "/home/bench/.config/zflash/settings.ini");
    ::setenv("ZFLASH_SETTINGS", "/etc/zflash.ini", 1);
    EXPECT_EQ(CRegister::GetStorePath(), "/etc/zflash.ini");
    if (oldXdg)
        ::setenv("XDG_CONFIG_HOME", savedXdg.c_str(), 1);
    if (oldHome)
        ::setenv("HOME", savedHome.c_str(), 1);
}
