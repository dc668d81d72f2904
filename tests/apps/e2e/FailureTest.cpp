// Every failed run says why in an `error:` line; a run that succeeds or is
// cancelled prints none; --yes does not wait for ever on a silent device.
#include <gmock/gmock.h>

#include <algorithm>
#include <csignal>
#include <fstream>
#include <tuple>

#include <nlohmann/json.hpp>

#include "ConsoleHost.h"
#include "ExitCode.h"
#include "TestSupport.h"
#include "ToolProcess.h"

using ::testing::HasSubstr;
using ::testing::Not;
using zftest::SourcePath;

namespace {
struct Failure : TToolRun<>
{
    std::string Image()
    {
        std::ofstream(dir.File("data.bin"), std::ios::binary) << std::string(64, '\x5A');
        return dir.File("data.bin");
    }
};
} // namespace

TEST_F(Failure, EachFailedRunEndsWithAReasonAndTheJsonResultCarriesIt)
{
    const std::string image = Image();
    // A name, the target's definition and faults, the tool's command, its exit code and the reason it gives.
    const std::tuple<const char*, const char*, std::vector<std::string>, std::vector<std::string>, int, const char*>
        cases[] = {
        {"over data with --erase never", "devices/ZT31F256.ini", {"FLASH Fill=0x00", "Fail Overwrite=1"},
         {"program", image, "--erase", "never"}, ecWrite, "--erase never left it there"},
        {"final write status 0x23", "devices/ZT31F256.ini", {"Fail Write=1"}, {"program", image}, ecWrite,
         "refused the write (write status 0x23)"},
        {"Protocol B write error", "devices/ZT52F128.ini", {"Fail Write=1"}, {"program", image}, ecWrite,
         "\"Write image error\""},
        {"Protocol B sum check error", "devices/ZT52F128.ini", {"Corrupt Host Byte=3000"}, {"program", image}, ecWrite,
         "sum check error"},
        {"Protocol B chip holding data", "devices/ZT52F128.ini", {"FLASH Fill=0x00"}, {"program", image}, ecVerify,
         "Protocol B cannot tell which blocks hold it"},
    };
    for (const auto& [name, definition, simSettings, command, code, reason] : cases) {
        std::vector<std::string> simOptions;
        for (const std::string& s : simSettings)
            simOptions.insert(simOptions.end(), {"--set", s});
        CSimProcess sim(definition, simOptions);
        ASSERT_FALSE(sim.Port().empty()) << name;
        std::vector<std::string> args{"--json", "-p", sim.Port(), "-d", SourcePath(definition)};
        args.insert(args.end(), command.begin(), command.end());
        const SToolResult r = RunZflash(args);
        EXPECT_EQ(r.code, code) << name << r.out;
        const auto events = Events(r.out);
        ASSERT_FALSE(events.empty()) << name;
        EXPECT_TRUE(std::any_of(events.begin(), events.end(), [&](const nlohmann::json& e) {
            return e["event"] == "message" && e["level"] == "error" &&
                   e["text"].get<std::string>().find(reason) != std::string::npos;
        })) << name << r.out;
        const nlohmann::json& result = events.back();
        EXPECT_EQ(result["event"], "result") << name;
        EXPECT_FALSE(result.value("reason", std::string()).empty()) << name << result;
    }
}

TEST_F(Failure, YesGivesUpWaitingForASilentDeviceWithTheConnectionCode)
{
    // Each wait for the boot program's erase lasts a second; the device never answers.
    std::ofstream(settings.Path()) << "[Serial]\nEraseTimeout=1\n";
    CSimProcess sim("devices/ZT33F128E.ini", {"--set", "Boot Answer=None"});
    const SToolResult r =
        RunZflash({"--yes", "-d", SourcePath("devices/ZT33F128E.ini"), "-p", sim.Port(), "-q", "blank"});
    EXPECT_EQ(r.code, ecConnection) << r.err; // -1 when it still waited after a minute
    EXPECT_THAT(r.err, HasSubstr("--yes kept waiting " + std::to_string(CConsoleHost::kMaxWaits) + " times"));
}

TEST_F(Failure, ASuccessfulRunThroughTheBoardAndItsResetPrintsNoError)
{
    std::ofstream(settings.Path()) << "[Programmer]\nDisconnectReset=1\n";
    const SToolResult r = RunZflash({"-c", "board-boot", "program", SourcePath("examples/blinky.mot")});
    EXPECT_EQ(r.code, ecSuccess) << r.err;
    EXPECT_THAT(r.err, HasSubstr("Resetting Device"));
    EXPECT_THAT(r.err, Not(HasSubstr("error:")));
}

TEST_F(Failure, ACancelledEraseSaysOnlyThatItWasCancelledAndLeavesTheTargetReady)
{
    // A chip full of data: the write erases first, for seconds a block.
    CSimProcess sim("devices/ZT31F256.ini", {"--verbose", "--set", "FLASH Fill=0x00", "--set", "Erase Time=4000"});
    ASSERT_FALSE(sim.Port().empty());
    const std::string image = Image();
    CToolProcess tool({ZFLASH_CLI_EXE, "--json", "-p", sim.Port(), "program", image});
    bool erasing = false;
    for (std::string line; !erasing && tool.ReadLine(line, 60000);)
        erasing = line.find("\"Erasing") != std::string::npos;
    ASSERT_TRUE(erasing) << tool.Out() << tool.Err();
    tool.Signal(SIGINT);
    EXPECT_EQ(tool.Wait(60000), ecCancelled) << tool.Err();
    int errors = 0;
    for (const nlohmann::json& e : Events(tool.Out()))
        if (e["event"] == "message" && e["level"] == "error") {
            ++errors;
            EXPECT_THAT(e["text"].get<std::string>(), HasSubstr("cancelled")) << e;
        }
    EXPECT_EQ(errors, 1) << tool.Out();

    // The chip cannot stop an erase: it answers when done, after the tool has gone.
    ASSERT_TRUE(sim.WaitForNote("erased ", 60000)) << sim.Err();
    const SToolResult r = RunZflash({"-p", sim.Port(), "-c", "boot-resident", "program", image, "--verify"});
    EXPECT_EQ(r.code, ecSuccess) << r.err << sim.Err();
}
