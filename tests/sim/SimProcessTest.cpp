// zflash-sim as a process: the port on its first line, a session over the
// wire, the dump and transcript at the end, and bad input.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "ScriptedHost.h"
#include "TestSupport.h"
#include "apps/e2e/ToolProcess.h"

using namespace simtest;

TEST(SimProcess, TheDumpAndTranscriptShowTheSessionsEnd)
{
    // A device that erases itself after the micro-kernel, on a FLASH that starts at zero.
    zftest::TempDir dir;
    CSimProcess sim("devices/ZT33F128E.ini", {"--set", "Boot Rate=2400", "--set", "FLASH Fill=0", "--set",
                                              "Auto Erase Time=20", "--dump", dir.File("flash.bin"), "--transcript",
                                              dir.File("t.json")});
    ASSERT_EQ(sim.Port().rfind("/dev/pts/", 0), 0u) << sim.Port();
    CScriptedHost host;
    ASSERT_TRUE(host.Open(sim.Port()));
    ASSERT_EQ(host.Boot(), 2400u);
    ASSERT_EQ(host.Acknowledge(), 0xAA);
    ASSERT_TRUE(host.DownloadEchoed(ReadFile(DevicePath("kernels/zt31/zt31_ukernel.bin"))));
    EXPECT_EQ(host.Receive(1), std::vector<BYTE>{0xAA});

    EXPECT_EQ(sim.Stop(SIGTERM), 0) << sim.Err();
    const std::vector<BYTE> flash = ReadFile(dir.File("flash.bin"));
    EXPECT_EQ(flash, std::vector<BYTE>(0x20000, 0xFF));
    const auto json = nlohmann::json::parse(std::ifstream(dir.File("t.json")));
    std::size_t garbled = 0, violations = 0;
    for (const auto& e : json["entries"]) {
        garbled += e.contains("flags");
        violations += e.value("event", "") == "violation";
    }
    EXPECT_EQ(violations, 0u);
    // The two tries at 9600 and at 4800 reached the chip as garbage.
    EXPECT_EQ(garbled, 4u);
}

TEST(SimProcess, LinksTheSlaveAndStopsWhenIdle)
{
    zftest::TempDir dir;
    const std::string link = dir.File("zt31");
    CSimProcess sim("devices/ZT31F256.ini", {"--link", link, "--idle", "0.3", "--transcript", dir.File("t.txt")});
    EXPECT_EQ(std::filesystem::read_symlink(link).string(), sim.Port());
    EXPECT_EQ(sim.Stop(0), 0);
    EXPECT_THAT(sim.Err(), HasSubstr("idle for 0.3 seconds"));
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(link)));
    const std::string text = zftest::ReadAll(dir.File("t.txt"));
    EXPECT_THAT(text, HasSubstr("# zflash-sim transcript: ZT31F256"));
}

TEST(SimProcess, BadInputGivesAMessageAndAFailingExit)
{
    const struct
    {
        const char* definition;
        std::vector<std::string> args;
        const char* message;
    } cases[] = {
        {"tests/sim/data/none.ini", {}, "cannot read the device definition"},
        {"devices/ZT31F256.ini", {"--set", "Boot Rate"}, "--set wants KEY=VALUE"},
        {"devices/ZT31F256.ini", {"--set", "Kivu Board=perhaps"}, "\"Kivu Board\": 'perhaps' is not 0, 1, True or False"},
        {"devices/ZT31F256.ini", {"--set", "kivu board=yes", "--set", "Kivu Firmware=0x0400"},
         "\"Kivu Firmware\": 1024 is outside 256..1023"},
        {"devices/ZT31F256.ini", {"--set", "Pelto Scan Result=ten"}, "\"Pelto Scan Result\": 'ten' is not a number"},
    };
    for (const auto& c : cases) {
        CSimProcess sim(c.definition, c.args);
        EXPECT_EQ(sim.Port(), "");
        EXPECT_EQ(sim.Stop(0), 1);
        EXPECT_THAT(sim.Err(), HasSubstr(c.message)) << c.message;
    }
}
