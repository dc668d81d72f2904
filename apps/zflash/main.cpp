// zflash: programs the on-chip FLASH of Zentra microcontrollers from the
// command line. `zflash --help` lists the commands; docs/user-guide.md is the guide.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/ioctl.h>
#include <unistd.h>

#include "Commands.h"
#include "ExitCode.h"
#include "FailureReason.h"
#include "Gang.h"
#include "Options.h"
#include "Session.h"
#include "SignalWatch.h"
#include "devicedb/DeviceInfo.h"

namespace {
int Dispatch(SCommandContext& c)
{
    const std::string& cmd = c.o.strCommand;
    if (cmd == "version") return CmdVersion(c);
    if (cmd == "messages") return CmdMessages(c);
    if (cmd == "ports") return CmdPorts(c);
    if (cmd == "image-info") return CmdImageInfo(c);
    if (cmd == "image-convert") return CmdImageConvert(c);
    if (cmd == "program") return CmdProgram(c);
    if (cmd == "verify") return CmdVerify(c);
    if (cmd == "read") return CmdRead(c);
    if (cmd == "erase") return CmdErase(c);
    if (cmd == "blank") return CmdBlank(c);
    if (cmd == "blocks") return CmdBlocks(c);
    if (cmd == "info") return CmdInfo(c);
    c.console.Error("unknown command '" + cmd + "'", "run zflash --help");
    return ecUsage;
}

int TerminalWidth()
{
    winsize ws{};
    if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0)
        return ws.ws_col;
    return 80;
}

// Fills o from the command line. False when the run ends here (help, or a
// command line that does not parse), with its exit status in *pCode.
bool ParseCommandLine(int argc, char** argv, SCliOptions& o, int* pCode)
{
    CLI::App app{"zflash"};
    app.name("zflash");
    BuildCommandLine(app, o);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        if (e.get_exit_code() == 0) {
            *pCode = app.exit(e);
            return false;
        }
        std::fprintf(stderr, "zflash: %s\n", e.what());
        std::fprintf(stderr, "hint: run 'zflash --help' or 'zflash COMMAND --help'\n");
        *pCode = ecUsage;
        return false;
    }
    if (CLI::App* program = app.get_subcommand("program"); program && program->parsed())
        o.bVerifyGiven = program->count("--verify") > 0;
    if (!o.strSettings.empty())
        ::setenv("ZFLASH_SETTINGS", o.strSettings.c_str(), 1);
    return true;
}

// The reason the library's messages give for a failed command on a target.
void ExplainTargetFailure(SCommandContext& c, CSession& session, int code)
{
    if (code == ecSuccess || code == ecNotBlank || session.WasCancelled() || !session.Definition())
        return;
    const long protocol = c.o.nProtocol >= 0 ? c.o.nProtocol : session.Definition()->m_nProtocol;
    const SFailureReason why = ExplainFailure(session.Sink(), {c.o.strCommand, code, protocol, c.o.strErase});
    if (!why.text.empty() && (why.bAlways || c.console.ErrorCount() == 0))
        c.console.Error(why.text, why.hint);
}

// A command that talks to a target: its session, with Ctrl-C as a cancel.
int RunOnTarget(SCommandContext& c)
{
    CSession session(c.o, c.console, c.host);
    c.pSession = &session;
    int code = ecSuccess;
    {
        CSignalWatch watch(
            [&] {
                c.console.Message(skWarning,
                                  "Cancelling: waiting for the library to release the port (Ctrl-C again quits at once)",
                                  0);
                session.Cancel();
            },
            [] {
                std::fputs("\nzflash: stopped at once; the port may need a reset\n", stderr);
                std::_Exit(ecCancelled);
            });
        code = CheckCommandLine(c);
        if (code == ecSuccess)
            code = session.Open();
        if (code == ecSuccess)
            code = Dispatch(c);
        session.Close();
    }
    ExplainTargetFailure(c, session, code);
    if (session.WasCancelled()) {
        code = ecCancelled;
        c.console.Error("cancelled; the port is released");
    }
    return code;
}

int RunCommand(SCommandContext& c)
{
    const SCliOptions& o = c.o;
    int code = ecSuccess;
    if (IsGangRun(o)) {
        if ((code = CheckCommandLine(c)) == ecSuccess)
            code = CmdGang(c);
    } else if (CommandNeedsTarget(o.strCommand)) {
        code = RunOnTarget(c);
    } else if (o.strCommand == "sim") {
        CSignalWatch watch([] {});
        code = CmdSim(c, [&] { return watch.WasSignalled(); });
    } else if (o.strCommand == "ui") {
        CSignalWatch watch([] {});
        code = CmdUi(c, [&] { return watch.WasSignalled(); });
    } else if ((code = CheckCommandLine(c)) == ecSuccess) {
        code = Dispatch(c);
    }
    return code;
}

// Every failure ends with an error line, the library's last word when nothing else said why.
void ReportFailure(const SCliOptions& o, CConsole& console, int code)
{
    // A gang names each target's failure in its own events and summary.
    if (code == ecSuccess || code == ecNotBlank || console.ShowedError() || IsGangRun(o))
        return;
    const std::string last = console.LastMessage();
    console.Error(std::string("the command failed (") + ExitCodeName(code) + ")" +
                  (last.empty() ? "" : ": the library reported '" + last + "'"));
}
} // namespace

int main(int argc, char** argv)
{
    // Before any thread exists, so that only the watch thread takes them.
    CSignalWatch::BlockSignals();

    SCliOptions o;
    int code = ecSuccess;
    if (!ParseCommandLine(argc, argv, o, &code))
        return code;

    const char* term = std::getenv("TERM");
    const bool terminal = ::isatty(STDERR_FILENO) && !(term && std::strcmp(term, "dumb") == 0);
    const eOutputMode mode = o.bJson ? omJson : terminal ? omTerminal : omPlain;
    const eVerbosity verbosity = o.bQuiet ? vbQuiet : o.bVerbose ? vbVerbose : vbNormal;
    const bool colour = !o.bNoColour && !std::getenv("NO_COLOR");
    CConsole console(stdout, stderr, mode, verbosity, colour, TerminalWidth());
    const eAnswerPolicy policy = o.bYes ? apYes : o.bNo ? apNo : apAsk;
    CConsoleHost host(console, policy, ::isatty(STDIN_FILENO) ? STDIN_FILENO : -1);
    SetHostUI(&host);

    nlohmann::json data;
    SCommandContext context{o, console, host, nullptr, data};
    code = RunCommand(context);
    ReportFailure(o, console, code);
    console.Result(o.strCommand, code, std::move(data));
    SetHostUI(nullptr);
    return code;
}
