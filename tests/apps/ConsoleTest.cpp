#include <gmock/gmock.h>

#include <cstdio>
#include <string>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "Console.h"
#include "ConsoleHost.h"
#include "ExitCode.h"
#include "apps/e2e/ToolProcess.h" // Events(): the reader of JSON-line output

using ::testing::HasSubstr;

namespace {
// A console writing into two memory files.
struct SCapture
{
    explicit SCapture(eOutputMode mode, eVerbosity v = vbNormal, bool colour = false, int width = 80)
        : out(std::tmpfile()), err(std::tmpfile()), console(out, err, mode, v, colour, width)
    {
    }
    ~SCapture()
    {
        std::fclose(out);
        std::fclose(err);
    }
    static std::string Read(FILE* f)
    {
        std::fflush(f);
        std::rewind(f);
        std::string s;
        char buf[4096];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
            s.append(buf, n);
        return s;
    }
    std::vector<nlohmann::json> Events() { return ::Events(Read(out)); }
    FILE* out;
    FILE* err;
    CConsole console;
};
} // namespace

TEST(Console, JsonModeWritesOneObjectPerEventAndNothingElse)
{
    SCapture c(omJson);
    c.console.Message(skError, "Erase failed", 15025);
    c.console.Print("a table line");
    SProgressState p{"Writing image to device", 0, 2048, 1024};
    c.console.Progress(p, 1.0);
    c.console.Progress(p, 1.5); // unchanged: no second event
    c.console.Question("Erase?", qtYesNo, qtNo, "--no");
    c.console.Result("program", ecErase, {{"bytes", 3}});
    using J = nlohmann::json;
    EXPECT_EQ(c.Events(),
              (std::vector<J>{{{"event", "message"}, {"level", "error"}, {"id", 15025}, {"text", "Erase failed"}},
                              {{"event", "progress"}, {"text", "Writing image to device"}, {"percent", 50},
                               {"position", 1024}, {"low", 0}, {"high", 2048}},
                              {{"event", "question"}, {"text", "Erase?"}, {"style", "yes-no"}, {"answer", "no"},
                               {"by", "--no"}},
                              {{"event", "result"}, {"command", "program"}, {"exit_code", 5}, {"reason", "Erase failed"},
                               {"status", "erase-failed"}, {"data", {{"bytes", 3}}}}}));
    EXPECT_EQ(SCapture::Read(c.err), "");
}

TEST(Console, VerbosityDecidesWhatReachesTheScreen)
{
    SCapture quiet(omPlain, vbQuiet);
    quiet.console.Message(skMessage, "Opening port", 0);
    quiet.console.Message(skSuccess, "Connection complete", 0);
    quiet.console.Message(skWarning, "Device did not reset!", 0);
    quiet.console.Message(skAdvanced, "detail", 0);
    EXPECT_EQ(SCapture::Read(quiet.err), "warning: Device did not reset!\n");

    SCapture verbose(omPlain, vbVerbose);
    verbose.console.Message(skAdvanced, "detail", 0);
    verbose.console.Error("no such block", "run zflash blocks");
    EXPECT_EQ(SCapture::Read(verbose.err), "  detail\nerror: no such block\nhint: run zflash blocks\n");
}

TEST(Console, PlainProgressIsALinePerTenthAndPerNewText)
{
    SCapture c(omPlain);
    for (unsigned pos = 0; pos <= 100; pos += 5)
        c.console.Progress({"Erasing...", 0, 100, pos}, 0);
    c.console.Progress({"Comparing images", 0, 100, 100}, 0);
    const std::string err = SCapture::Read(c.err);
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 12);
    EXPECT_THAT(err, HasSubstr("progress: Erasing... 50%\n"));
    EXPECT_THAT(err, HasSubstr("progress: Comparing images 100%\n"));
}

TEST(Console, TerminalBarShowsPercentBytesAndRateAndStaysUnderMessages)
{
    SCapture c(omTerminal, vbNormal, true);
    c.console.Progress({"Writing image to device", 0, 4096, 1024}, 2.0);
    c.console.Message(skMessage, "Erase complete.", 0);
    c.console.EndProgress();
    const std::string err = SCapture::Read(c.err);
    EXPECT_THAT(err, HasSubstr(" 25%  1.0 KiB / 4.0 KiB  512 B/s"));
    EXPECT_THAT(err, HasSubstr("#"));
    // The message clears the bar's line, is printed, and the bar comes back below it.
    const size_t msg = err.find("Erase complete.\n");
    ASSERT_NE(msg, std::string::npos);
    EXPECT_NE(err.find("\r\x1b[KWriting image", msg), std::string::npos);
    EXPECT_EQ(err.substr(err.size() - 4), "\r\x1b[K");
    EXPECT_EQ(CConsole::FormatBytes(3.5 * 1024 * 1024), "3.50 MiB");
}

TEST(ConsoleHost, ScriptsGetTheirAnswerAndNobodyToAskMeansRefuseAndSay)
{
    SCapture c(omJson);
    CConsoleHost yes(c.console, apYes, -1);
    EXPECT_EQ(yes.MessageBox("Erase?", qtYesNoCancel), qtYes);
    EXPECT_EQ(yes.MessageBox("Keep looking?", qtAbortRetryIgnore), qtIgnore);
    CConsoleHost no(c.console, apNo, -1);
    EXPECT_EQ(no.MessageBox("Erase?", qtYesNoCancel), qtNo);
    no.SetFixedAnswer("Would you like to perform read-back", qtYes, "--verify");
    EXPECT_EQ(no.MessageBox("Would you like to perform read-back verification?", qtYesNo), qtYes);
    EXPECT_FALSE(no.WasUnanswered());

    CConsoleHost nobody(c.console, apAsk, -1);
    EXPECT_EQ(nobody.MessageBox("Erase this block?", qtYesNoCancel), qtCancel);
    EXPECT_EQ(nobody.MessageBox("Reconnect?", qtYesNo), qtNo);
    EXPECT_EQ(nobody.MessageBox("The device was automatically Erased", qtNotice), qtOK);
    EXPECT_TRUE(nobody.WasUnanswered());
    const auto events = c.Events();
    ASSERT_GE(events.size(), 6u);
    EXPECT_EQ(events[4]["by"], "nobody");
    EXPECT_EQ(events[5]["level"], "error");
    EXPECT_THAT(events[5]["hint"].get<std::string>(), HasSubstr("--yes"));
}

TEST(ConsoleHost, APersonIsAskedAgainUntilTheReplyMeansSomething)
{
    SCapture c(omPlain);
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    const std::string typed = "maybe\n  Y \n";
    ASSERT_EQ(::write(fds[1], typed.data(), typed.size()), static_cast<ssize_t>(typed.size()));
    CConsoleHost host(c.console, apAsk, fds[0]);
    EXPECT_EQ(host.MessageBox("Erase block BLK0?", qtYesNo), qtYes);
    ::close(fds[1]); // end of input: the safe answer
    EXPECT_EQ(host.MessageBox("Erase block BLK1?", qtYesNoCancel), qtCancel);
    ::close(fds[0]);
    const std::string err = SCapture::Read(c.err);
    EXPECT_EQ(err.find("Erase block BLK0? [y/n] "), err.rfind("Erase block BLK0? [y/n] ") - 26) << err;
    EXPECT_THAT(err, HasSubstr("-> yes (terminal)"));
    EXPECT_EQ(CConsoleHost::ParseReply("ignore", qtAbortRetryIgnore), qtIgnore);
    EXPECT_EQ(CConsoleHost::ParseReply("c", qtYesNo), qtOK);
}

TEST(Console, TheBarNeverReachesTheLastColumn)
{
    for (int width : {40, 80, 200}) {
        SCapture c(omTerminal, vbNormal, false, width);
        c.console.Progress({"Writing image to device, a long step name", 0, 0xFFFFFFF0, 0xFFFFFF00}, 0.5);
        const std::string line = SCapture::Read(c.err).substr(4); // after "\r\x1b[K"
        EXPECT_LT(line.size(), static_cast<size_t>(width)) << line;
        EXPECT_THAT(line, HasSubstr("99%"));
    }
}

TEST(Console, TheBarKeepsOffALineAPersonIsTypingOn)
{
    SCapture c(omTerminal);
    c.console.Progress({"Writing image to device", 0, 100, 10}, 0);
    c.console.Prompt("Erase block BLK0? [y/n] ");
    c.console.Progress({"Writing image to device", 0, 100, 20}, 0);
    EXPECT_TRUE(SCapture::Read(c.err).ends_with("Erase block BLK0? [y/n] "));
    c.console.Question("Erase block BLK0?", qtYesNo, qtYes, "terminal");
    EXPECT_TRUE(SCapture::Read(c.err).ends_with(" 20%"));
}
