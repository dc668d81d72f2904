#include <gtest/gtest.h>

#include <tuple>

#include "Options.h"

namespace {
// Parses a command line as the tool does; the error text when it is refused.
std::string Parse(std::vector<std::string> args, SCliOptions& o)
{
    CLI::App app{"zflash"};
    BuildCommandLine(app, o);
    std::vector<const char*> argv{"zflash"};
    for (const std::string& a : args)
        argv.push_back(a.c_str());
    try {
        app.parse(static_cast<int>(argv.size()), const_cast<char**>(argv.data()));
    } catch (const CLI::ParseError& e) {
        return e.what();
    }
    return "";
}
} // namespace

TEST(Options, NumbersInTheFormsUsersWrite)
{
    const std::pair<const char*, DWORD> good[] = {{"0x8000", 0x8000}, {"H'1F00", 0x1F00}, {"1f00h", 0x1F00},
                                                  {"4096", 4096},     {"32K", 32768},     {"1M", 1 << 20},
                                                  {"0xFFFFFFFF", 0xFFFFFFFF}, {"1_000", 1000}};
    for (const auto& [text, value] : good) {
        DWORD v = 0;
        EXPECT_TRUE(ParseNumber(text, &v)) << text;
        EXPECT_EQ(v, value) << text;
    }
    for (const char* bad : {"", "0x", "12ab", "0x100000000", "4194304K", "-1", "H'", "8000g"}) {
        DWORD v = 7;
        EXPECT_FALSE(ParseNumber(bad, &v)) << bad;
        EXPECT_EQ(v, 7u);
    }
}

TEST(Options, ConnectionNamesCoverTheEightTypesOnce)
{
    std::set<int> seen;
    for (const char* name : {"boot", "user", "boot-resident", "user-resident", "board-boot", "board-user",
                             "board-boot-resident", "board-user-resident"}) {
        const int type = ConnectionTypeFromName(name);
        EXPECT_STREQ(ConnectionTypeName(type), name);
        seen.insert(type);
        EXPECT_EQ(IsBoardConnection(type), std::string(name).starts_with("board"));
    }
    EXPECT_EQ(seen, (std::set<int>{0, 1, 2, 3, 4, 5, 6, 7}));
    EXPECT_EQ(ConnectionTypeFromName("BOOT"), -1);
}

TEST(Options, GlobalOptionsMayFollowTheCommand)
{
    SCliOptions o;
    ASSERT_EQ(Parse({"program", "fw.hex", "-p", "/dev/ttyUSB0", "--erase", "ask", "--no-verify", "--yes", "-b",
                     "57600"},
                    o),
              "");
    EXPECT_EQ(std::tie(o.strCommand, o.strImage, o.strPort, o.strErase, o.bVerify, o.bYes, o.nBaud),
              std::make_tuple("program", "fw.hex", "/dev/ttyUSB0", "ask", false, true, 57600L));

    SCliOptions i;
    ASSERT_EQ(Parse({"image", "convert", "a.hex", "b.srec", "--json"}, i), "");
    EXPECT_EQ(std::tie(i.strCommand, i.strConvertOut, i.bJson), std::make_tuple("image-convert", "b.srec", true));

    SCliOptions v;
    ASSERT_EQ(Parse({"--json", "--version"}, v), "");
    EXPECT_EQ(v.strCommand, "version");
}

TEST(Options, ContradictionsAndUnknownsAreRefused)
{
    const std::vector<std::vector<std::string>> bad = {
        {},
        {"flash"},
        {"--yes", "--no", "blank"},
        {"program"},
        {"program", "a.mot", "--erase", "sometimes"},
        {"program", "a.mot", "--verify=maybe"},
        {"-c", "jtag", "blank"},
        {"erase", "--all", "BLK0"},
        {"program", "a.mot", "--job", "7"},
        {"--protocol", "2", "info"},
        {"-q", "-v", "blocks"},
        {"--version", "blank"},
        {"version", "--version"},
    };
    for (const auto& args : bad) {
        SCliOptions o;
        EXPECT_NE(Parse(args, o), "") << (args.empty() ? std::string("(none)") : args[0]);
    }
}
