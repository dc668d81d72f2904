// The tool run as a process, as a person or a script runs it: against the
// in-process virtual target (-p sim) and against zflash-sim on its own pty.
#include <gmock/gmock.h>

#include <csignal>
#include <fstream>
#include <regex>

#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "ExitCode.h"
#include "ImageFiles.h"
#include "TestSupport.h"
#include "ToolProcess.h"
#include "comms/FLASHComms.h"
#include "image/FLASHBinaryImage.h"

using ::testing::HasSubstr;
using zftest::SourcePath;

namespace {
const std::string kExample = SourcePath("examples/blinky.mot");

using Tool = TToolRun<>;
} // namespace

TEST_F(Tool, EachProtocolAndTheJTAGAdapterProgramAndVerifyAFreshVirtualTarget)
{
    std::ofstream(dir.File("small.bin"), std::ios::binary) << std::string(300, '\x3C');
    // The first run takes every default. The classic run is a production job: the same write,
    // with its record appended to the log. Behind the virtual JTAG adapter the boot and the
    // board's steps go over the serial line beside it, the kernel's traffic over the adapter.
    std::vector<std::string> runs[] = {
        {"program", kExample, "--trace", dir.File("trace.txt")},
        {"-d", SourcePath("devices/ZT31F256.ini"), "program", kExample, "--job-log", dir.File("job.log"), "--job", "7"},
        {"-d", SourcePath("devices/ZT52F128.ini"), "program", kExample},              // Protocol B
        {"-d", SourcePath("devices/ZT10F016.ini"), "program", dir.File("small.bin")}, // 1K kernels
        {"-p", "sim:pelto", "-c", "boot", "program", kExample, "--verify"},
        {"-p", "sim:pelto", "-c", "board-user", "program", kExample, "--verify"},
        {"-p", "sim:pelto", "-c", "board-boot-resident", "program", kExample, "--verify"},
    };
    for (auto& run : runs) {
        run.insert(run.begin(), "--json");
        const SToolResult r = RunZflash(run);
        ASSERT_EQ(r.code, ecSuccess) << run[2] << run[4] << r.out << r.err;
        EXPECT_EQ(r.err, "") << run[2] << run[4]; // every word is an event
        const auto events = Events(r.out);
        bool task = false, progress = false, verifyAsked = false;
        for (const auto& e : events) {
            task |= e["event"] == "message" && e["level"] == "task";
            progress |= e["event"] == "progress" && e["percent"].is_number();
            verifyAsked |= e["event"] == "question" && e["answer"] == "yes" && e["by"] == "--verify";
        }
        EXPECT_TRUE(task && progress && verifyAsked) << r.out;
        EXPECT_EQ(events.back()["status"], "success") << run[2] << run[4];
        EXPECT_EQ(events.back()["data"]["verified"], true) << run[2] << run[4];
        EXPECT_EQ(events.back()["data"]["bytes"], run.back() == dir.File("small.bin") ? 300 : 1856) << run[2];
    }
    EXPECT_GT(zftest::ReadAll(dir.File("trace.txt")).size(), 100u);
    // The virtual line's name is not left behind in the user's settings; the
    // adapter's own keys are.
    const std::string stored = zftest::ReadAll(settings.Path());
    EXPECT_EQ(stored.find("KivuSerial"), std::string::npos) << stored;
    EXPECT_THAT(stored, HasSubstr("SuperQuick"));
    const std::string log = zftest::ReadAll(dir.File("job.log"));
    EXPECT_THAT(log, HasSubstr("Job Number : 7\r\n"));
    EXPECT_THAT(log, HasSubstr("Result : FLASH Programming OK."));
    // A Protocol B kernel does not say which blocks hold data.
    const SToolResult r = RunZflash({"--json", "-d", SourcePath("devices/ZT52F128.ini"), "blocks"});
    ASSERT_EQ(r.code, ecSuccess);
    EXPECT_EQ(Events(r.out).back()["data"][0]["state"], "unknown");
}

class ToolOnPty : public Tool, public testing::WithParamInterface<const char*>
{
};

TEST_P(ToolOnPty, EveryTargetCommandAgainstZflashSim)
{
    CSimProcess sim(GetParam());
    ASSERT_FALSE(sim.Port().empty());
    const std::vector<std::string> on{"-q", "-d", SourcePath(GetParam()), "-p", sim.Port()};
    auto run = [&](std::vector<std::string> args, bool resident = true) {
        std::vector<std::string> all = on;
        if (resident) // after the first run the kernel stays on the chip
            all.insert(all.end(), {"-c", "boot-resident"});
        all.insert(all.end(), args.begin(), args.end());
        return RunZflash(all);
    };
    SToolResult r = run({"blank"}, false);
    ASSERT_EQ(r.code, ecSuccess) << r.err;
    r = run({"program", kExample});
    ASSERT_EQ(r.code, ecSuccess) << r.err;
    EXPECT_EQ(run({"blank"}).code, ecNotBlank);
    EXPECT_EQ(run({"verify", kExample}).code, ecSuccess);

    r = run({"--json", "blocks"});
    ASSERT_EQ(r.code, ecSuccess) << r.err;
    const auto blocks = Events(r.out).back()["data"];
    ASSERT_GE(blocks.size(), 2u);
    EXPECT_EQ(blocks[0]["start"], 0);
    EXPECT_EQ(blocks[0]["state"], "written");
    EXPECT_EQ(blocks[1]["state"], "blank");

    r = run({"read", dir.File("code.bin"), "--start", "0x400", "--length", "1536"});
    ASSERT_EQ(r.code, ecSuccess) << r.err;
    CFLASHBinaryImage example(0, nullptr);
    std::string error;
    ASSERT_TRUE(CImageFiles::Load(kExample, ifAuto, 0, &example, nullptr, &error)) << error;
    std::string expected(1536, '\0');
    example.GetData(0x400, reinterpret_cast<BYTE*>(expected.data()), 1536);
    EXPECT_EQ(zftest::ReadAll(dir.File("code.bin")), expected);

    // A different image does not verify; a block erased loses the data.
    std::ofstream(dir.File("other.bin"), std::ios::binary) << std::string(64, '\x5A');
    EXPECT_EQ(run({"verify", dir.File("other.bin")}).code, ecVerify);
    EXPECT_EQ(run({"erase", "BLK0"}).code, ecSuccess);
    EXPECT_EQ(run({"verify", kExample}).code, ecVerify);
    EXPECT_EQ(run({"erase", "--all"}).code, ecSuccess);
    EXPECT_EQ(run({"blank"}).code, ecSuccess);
}

INSTANTIATE_TEST_SUITE_P(ClassicDevices, ToolOnPty,
                         testing::Values("devices/ZT31F256.ini", "devices/ZT21F064.ini", "devices/ZT33F128E.ini"));

TEST_F(Tool, QuestionsAreAnsweredByYesOrNoOrStopTheRunWithoutATerminal)
{
    CSimProcess sim("devices/ZT31F256.ini");
    ASSERT_EQ(RunZflash({"-p", sim.Port(), "-q", "program", kExample}).code, ecSuccess);
    // Over written data: without an erase the FLASH can only lose bits, so the read-back differs.
    std::ofstream(dir.File("other.bin"), std::ios::binary) << std::string(64, '\x5A');
    const std::vector<std::string> again{"-p", sim.Port(), "-c", "boot-resident", "--json", "program",
                                         dir.File("other.bin"), "--erase", "ask"};
    auto with = [&](std::vector<std::string> answer) {
        answer.insert(answer.begin(), again.begin(), again.end());
        return RunZflash(answer);
    };
    SToolResult r = with({"--no"});
    EXPECT_EQ(r.code, ecVerify) << r.out;
    bool refused = false;
    for (const auto& e : Events(r.out)) {
        refused |= e["event"] == "question" && e["answer"] == "no" && e["by"] == "--no";
        EXPECT_FALSE(e["event"] == "message" && e["text"].get<std::string>().starts_with("Erasing block")) << e;
    }
    EXPECT_TRUE(refused) << r.out;

    r = with({});
    EXPECT_EQ(r.code, ecAnswerNeeded) << r.out;
    EXPECT_THAT(r.out, HasSubstr("pass --yes or --no"));
    EXPECT_EQ(Events(r.out).back()["status"], "answer-needed");

    r = with({"--yes"});
    EXPECT_EQ(r.code, ecSuccess) << r.out;
}

// Ctrl-C typed at a question is one cancel: exit 130 and the one line that
// says so, not also the question's own "cancelled before the image was written".
TEST_F(Tool, CtrlCAtAQuestionOnATerminalIsOneCancel)
{
    CSimProcess sim("devices/ZT31F256.ini", {"--set", "FLASH Fill=0x00"});
    ASSERT_FALSE(sim.Port().empty()) << sim.Err();
    const std::string port = sim.Port();
    int master = -1;
    const pid_t pid = ::forkpty(&master, nullptr, nullptr, nullptr);
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        UnblockAllSignals();
        ::execl(ZFLASH_CLI_EXE, "zflash", "-p", port.c_str(), "program", "--erase", "ask", kExample.c_str(), nullptr);
        ::_exit(127);
    }
    std::string screen;
    // What the tool shows, until the text given or until it has gone (true);
    // false after a minute of silence.
    const auto show = [&](const char* until) {
        pollfd p{master, POLLIN, 0};
        while (!(until && screen.find(until) != std::string::npos)) {
            if (::poll(&p, 1, 60000) <= 0)
                return false;
            char buffer[4096];
            const ssize_t n = ::read(master, buffer, sizeof buffer);
            if (n <= 0)
                return true;
            screen.append(buffer, static_cast<std::size_t>(n));
        }
        return true;
    };
    show("erase this block?");
    EXPECT_THAT(screen, HasSubstr("erase this block?"));
    EXPECT_EQ(::write(master, "\x03", 1), 1);
    if (!show(nullptr)) {
        ADD_FAILURE() << "the tool did not end after the cancel\n" << screen;
        ::kill(pid, SIGKILL);
    }
    ::close(master);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == ecCancelled) << screen;
    EXPECT_THAT(screen, HasSubstr("error: "));
    EXPECT_EQ(screen.find("error: "), screen.rfind("error: ")) << screen; // only one
    EXPECT_THAT(screen, HasSubstr("cancelled; the port is released"));
    // The open question's line is ended once: the cancel's warning starts a
    // line of its own, and no empty "? " line follows.
    std::string text = std::regex_replace(screen, std::regex("\x1b\\[[0-9;]*[A-Za-z]"), "");
    std::erase(text, '\r');
    EXPECT_THAT(text, HasSubstr("\nwarning: Cancelling")) << text;
    EXPECT_EQ(text.find("\n? \n"), std::string::npos) << text;
}

TEST_F(Tool, ExitCodesSayWhatWentWrong)
{
    std::ofstream(dir.File("bad.mot")) << "S1130000000004000000041000000420000004307D\n";
    const std::vector<std::tuple<std::vector<std::string>, int, std::string>> cases = {
        {{"flash"}, ecUsage, "flash"},
        {{"read", "x.srec", "--start", "0x40000"}, ecUsage, "outside the FLASH"},
        {{"erase", "BLK99"}, ecUsage, "its blocks are BLK0, BLK1"},
        {{"program", dir.File("missing.hex")}, ecFile, "no such file"},
        {{"program", dir.File("bad.mot")}, ecFile, "not a valid S-record file"},
        {{"-d", dir.File("none.ini"), "blank"}, ecFile, "not found"},
        {{"-d", kExample, "-p", dir.File("no-such-port"), "blank"}, ecFile, "gives no \"FLASH ROM Size\""},
        {{"-p", dir.File("no-such-port"), "blank"}, ecConnection, "Unable to open comms"},
        {{"-d", SourcePath("devices/ZT52F128.ini"), "-p", "sim:pelto", "blank"}, ecNotAvailable, "Protocol B"},
        {{"image", "info", kExample}, ecSuccess, ""},
    };
    for (const auto& [args, code, text] : cases) {
        const SToolResult r = RunZflash(args);
        EXPECT_EQ(r.code, code) << args[0] << ": " << r.err;
        EXPECT_THAT(r.err, HasSubstr(text));
        if (code == ecFile) { // a missing input file stops the run before the target is started
            EXPECT_EQ((r.out + r.err).find("Virtual target") == std::string::npos, text != "not a valid S-record file")
                << r.out << r.err;
        }
    }
}

TEST_F(Tool, CtrlCDuringAWriteCancelsAndReleasesThePort)
{
    std::string data;
    for (int i = 0; i < 0x10000; ++i)
        data += static_cast<char>(i * 7);
    std::ofstream(dir.File("big.bin"), std::ios::binary) << data;
    CSimProcess sim("devices/ZT31F256.ini", {"--throttle"}); // paced to the line: the write takes seconds
    CToolProcess tool({ZFLASH_CLI_EXE, "--json", "-p", sim.Port(), "program", dir.File("big.bin"), "--base",
                       "0x10000"});
    bool writing = false;
    for (std::string line; !writing && tool.ReadLine(line, 120000);) {
        const auto e = nlohmann::json::parse(line);
        writing = e["event"] == "progress" && e["text"] == "Writing image to device" && e["position"] > e["low"];
    }
    ASSERT_TRUE(writing) << tool.Out() << tool.Err();
    tool.Signal(SIGINT);
    EXPECT_EQ(tool.Wait(120000), ecCancelled) << tool.Err();
    EXPECT_EQ(Events(tool.Out()).back()["status"], "cancelled");
    // The library stopped the write: it never got to the end of the image.
    EXPECT_EQ(tool.Out().find("Image successfully written"), std::string::npos);
    CFLASHComms comms;
    EXPECT_TRUE(comms.Open(sim.Port().c_str())); // nobody holds the port any more
    comms.Close();
}

TEST_F(Tool, ProgressBarOnARealTerminal)
{
    if (std::system("command -v script >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "script is not installed";
    const std::string cmd = std::string("TERM=xterm script -qfec '") + ZFLASH_CLI_EXE + " program " + kExample +
                            "' /dev/null > " + dir.File("screen.txt") + " 2>&1";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    const std::string screen = zftest::ReadAll(dir.File("screen.txt"));
    EXPECT_THAT(screen, HasSubstr("\r\x1b[K"));        // the bar redraws its own line
    EXPECT_THAT(screen, HasSubstr("\x1b[36m["));       // the bar itself, in colour
    EXPECT_THAT(screen, HasSubstr("\x1b[32mok: Programmed 1856 bytes"));
    EXPECT_EQ(screen.find("progress: "), std::string::npos);       // no plain progress lines
}
