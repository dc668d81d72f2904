#include "Gang.h"

#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <ctime>
#include <set>
#include <thread>
#include <unistd.h>

#include "ExitCode.h"
#include "GangOutput.h"
#include "HostRoute.h"
#include "ProductionJob.h"
#include "ProductionLog.h"
#include "Session.h"
#include "SignalWatch.h"
#include "programmer/FLASHManager.h"
#include "programmer/FLASHProgrammer.h"

namespace {
using Clock = std::chrono::steady_clock;

std::string Printf(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Printf(const char* format, ...)
{
    char text[256];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return text;
}

struct STarget
{
    std::string label;
    SCliOptions options;
    int nIndex = 0;
    std::unique_ptr<CConsole> console;
    std::unique_ptr<CConsoleHost> host;

    // Guards the session pointer against Cancel and the progress rows.
    std::mutex mutex;
    CSession* pSession = nullptr;
    bool bCancelled = false;
    bool bDone = false;
    std::string strStep;
    Clock::time_point stepSince;

    int code = ecCancelled; // until the target's run ends
    SUnitResult unit;
    double seconds = 0;
    std::time_t started = 0;
    std::string reason;
    nlohmann::json data;
};

// Trace files of several virtual targets get the target's number before the extension.
std::string TracePath(const std::string& path, int index, size_t count)
{
    if (path.empty() || count == 1)
        return path;
    const size_t dot = path.find_last_of('.');
    const size_t slash = path.find_last_of('/');
    const std::string tag = "-" + std::to_string(index + 1);
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash))
        return path + tag;
    return path.substr(0, dot) + tag + path.substr(dot);
}

class CGang
{
public:
    CGang(SCommandContext& c) : m_c(c), m_output(stdout, stderr, c.console.GetMode()) {}

    int Run();

private:
    int Prepare();
    void RunTarget(STarget& t);
    int Work(SCommandContext& jc, STarget& t);
    void Cancel();
    void WatchRows();
    std::string Row(STarget& t);
    void Log(STarget& t);
    int Summarise();

    SCommandContext& m_c;
    CGangOutput m_output;
    std::vector<std::unique_ptr<STarget>> m_Targets;
    SSerialSpec m_Serial;
    std::unique_ptr<CSerialState> m_pSerialState;
    SProductionPlan m_Plan;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_bFinished = false;
    std::atomic<bool> m_bCancelled{false};
};

int CGang::Prepare()
{
    const SCliOptions& o = m_c.o;
    std::vector<std::string> ports = o.Ports;
    if (o.nSimCount > 0)
        ports.insert(ports.end(), static_cast<size_t>(o.nSimCount), "sim");
    if (ports.empty())
        ports.push_back(o.strPort);
    const auto sims = std::count_if(ports.begin(), ports.end(), [](const std::string& p) { return p.rfind("sim", 0) == 0; });
    std::set<std::string> seen;
    int simNumber = 0;
    for (const std::string& port : ports) {
        const bool sim = port == "sim" || port == "sim:pelto";
        if (port == "sim:pelto" && ports.size() > 1) {
            m_c.console.Error("the virtual JTAG adapter takes one target only", "use -p sim for a gang of virtual targets");
            return ecUsage;
        }
        if (!sim && !seen.insert(port).second) {
            m_c.console.Error("the port '" + port + "' is given twice", "give each target's port once");
            return ecUsage;
        }
        auto t = std::make_unique<STarget>();
        t->nIndex = static_cast<int>(m_Targets.size());
        t->label = sim && sims > 1 ? "sim" + std::to_string(++simNumber) : port;
        t->options = o;
        t->options.strPort = port;
        t->options.strTrace = TracePath(o.strTrace, t->nIndex, ports.size());
        m_Targets.push_back(std::move(t));
    }
    if (m_Targets.size() > 1 && !o.bYes && !o.bNo) {
        // Nobody can answer eight prompts at once, and a half-answered gang is worse than none.
        m_c.console.Error("a gang run cannot put the library's questions to a person",
                          "answer them once for every target with --yes or --no");
        return ecAnswerNeeded;
    }
    if (!o.strSerial.empty()) {
        std::string error;
        if (!SSerialSpec::Parse(o.strSerial, &m_Serial, &error)) {
            m_c.console.Error(error);
            return ecUsage;
        }
        m_pSerialState = std::make_unique<CSerialState>(o.strJobLog + ".serial");
        m_Plan.pSerial = &m_Serial;
        m_Plan.pState = m_pSerialState.get();
    }
    m_Plan.bSkipUnchanged = o.bSkipUnchanged;
    m_Plan.nRetries = o.nRetries;

    const eOutputMode mode = m_c.console.GetMode();
    const eVerbosity verbosity = mode == omTerminal ? vbQuiet : m_c.console.GetVerbosity();
    const eAnswerPolicy policy = o.bYes ? apYes : o.bNo ? apNo : apAsk;
    const int input = m_Targets.size() == 1 && ::isatty(STDIN_FILENO) ? STDIN_FILENO : -1;
    for (auto& t : m_Targets) {
        const int index = m_output.AddTarget(t->label);
        t->console = std::make_unique<CConsole>(m_output.Out(index), m_output.Err(index),
                                                mode == omJson ? omJson : omPlain, verbosity, false);
        t->host = std::make_unique<CConsoleHost>(*t->console, policy, input);
    }
    return ecSuccess;
}

int CGang::Work(SCommandContext& jc, STarget& t)
{
    const std::string& cmd = jc.o.strCommand;
    if (cmd == "program")
        return CProductionJob(jc, m_Plan, t.unit).Run();
    int code = cmd == "verify" ? CmdVerify(jc) : cmd == "erase" ? CmdErase(jc) : CmdBlank(jc);
    if (jc.pSession->Programmer())
        t.unit.strDevice = jc.pSession->Programmer()->GetDeviceName().GetString();
    t.unit.bVerified = jc.data.value("verified", false);
    t.unit.qwBytes = jc.data.value("bytes", 0ULL);
    return code;
}

void CGang::RunTarget(STarget& t)
{
    CHostRoute::SetCurrent(t.host.get());
    const auto start = Clock::now();
    t.started = std::time(nullptr);
    {
        CSession session(t.options, *t.console, *t.host);
        {
            std::lock_guard lock(t.mutex);
            t.pSession = &session;
            if (t.bCancelled)
                session.Cancel();
        }
        SCommandContext jc{t.options, *t.console, *t.host, &session, t.data};
        int code = session.Open();
        if (code == ecSuccess)
            code = Work(jc, t);
        session.Close();
        if (session.WasCancelled())
            code = ecCancelled;
        std::lock_guard lock(t.mutex);
        t.pSession = nullptr;
        t.code = code;
        t.bDone = true;
    }
    t.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (t.code != ecSuccess && !(t.code == ecNotBlank && t.options.strCommand == "blank")) {
        t.reason = m_output.LastError(t.nIndex);
        if (t.reason.empty())
            t.reason = ExitCodeName(t.code);
    }
    if (m_c.o.strCommand == "program" && !m_c.o.strJobLog.empty())
        Log(t);
    CHostRoute::SetCurrent(nullptr);
}

void CGang::Log(STarget& t)
{
    SProductionRecord r;
    r.strJob = m_c.o.strJob;
    r.strOperator = m_c.o.strOperator;
    r.bTimestamps = m_c.o.bTimestamps;
    r.strPort = t.label + (t.label == t.options.strPort ? "" : " (virtual target)");
    r.strDevice = t.unit.strDevice;
    r.strSerial = t.unit.strSerial;
    r.tStarted = t.started;
    r.lElapsedSeconds = static_cast<long>(t.seconds);
    r.bOK = t.code == ecSuccess;
    r.bAlreadyProgrammed = t.unit.bAlreadyProgrammed;
    r.strReason = t.reason;
    r.nRetries = t.unit.nRetries;
    r.qwSkipped = t.unit.qwSkipped;
    std::string error;
    if (!CProductionLog::Append(m_c.o.strJobLog, r, &error))
        t.console->Error(error);
}

void CGang::Cancel()
{
    m_bCancelled = true;
    for (auto& t : m_Targets) {
        std::lock_guard lock(t->mutex);
        t->bCancelled = true;
        t->host->Interrupt();
        if (t->pSession)
            t->pSession->Cancel();
    }
}

std::string CGang::Row(STarget& t)
{
    std::lock_guard lock(t.mutex);
    std::string step = "waiting";
    int percent = 0;
    std::string rate;
    if (t.bDone) {
        step = t.code == ecSuccess ? "done" : t.code == ecCancelled ? "cancelled" : "FAILED";
        percent = t.code == ecSuccess ? 100 : 0;
    } else if (t.pSession) {
        CConsoleSink& sink = t.pSession->Sink();
        SProgressState s;
        s.text = sink.GetProgressString().GetString();
        DWORD low = 0, high = 0;
        sink.GetProgressRange(low, high);
        s.low = low;
        s.high = high;
        s.position = sink.GetProgress().load();
        if (s.text != t.strStep) {
            t.strStep = s.text;
            t.stepSince = Clock::now();
        }
        step = s.text.empty() ? "starting" : s.text;
        percent = s.Percent();
        const double elapsed = std::chrono::duration<double>(Clock::now() - t.stepSince).count();
        if (s.CountsBytes() && elapsed > 0.2 && s.position > s.low)
            rate = CConsole::FormatBytes(static_cast<double>(s.position - s.low) / elapsed) + "/s";
    }
    if (step.size() > 30)
        step = step.substr(0, 27) + "...";
    return Printf("%-16s %-30s %3d%%  %s", t.label.c_str(), step.c_str(), percent, rate.c_str());
}

void CGang::WatchRows()
{
    std::unique_lock lock(m_mutex);
    for (;;) {
        lock.unlock();
        std::vector<std::string> rows;
        for (auto& t : m_Targets)
            rows.push_back(Row(*t));
        m_output.SetRows(rows);
        lock.lock();
        if (m_bFinished)
            break;
        m_wake.wait_for(lock, std::chrono::milliseconds(200));
    }
}

int CGang::Summarise()
{
    const bool blank = m_c.o.strCommand == "blank";
    size_t ok = 0, cancelled = 0;
    nlohmann::json list = nlohmann::json::array();
    m_c.console.Print(Printf("%-16s %-10s %-20s %10s %8s %-8s %7s  %s", "PORT", "DEVICE", "RESULT", "BYTES", "TIME",
                             "VERIFIED", "RETRIES", "SERIAL"));
    for (auto& t : m_Targets) {
        const bool good = t->code == ecSuccess || (blank && t->code == ecNotBlank);
        ok += good;
        cancelled += t->code == ecCancelled;
        const std::string result = t->unit.bAlreadyProgrammed ? "already-programmed" : ExitCodeName(t->code);
        m_c.console.Print(Printf("%-16s %-10s %-20s %10llu %7.1fs %-8s %7d  %s", t->label.c_str(),
                                 t->unit.strDevice.empty() ? "-" : t->unit.strDevice.c_str(), result.c_str(),
                                 t->unit.qwBytes, t->seconds, t->unit.bVerified ? "yes" : "no", t->unit.nRetries,
                                 t->unit.strSerial.empty() ? "-" : t->unit.strSerial.c_str()));
        nlohmann::json e = {{"event", "target"},        {"port", t->label},
                            {"device", t->unit.strDevice}, {"result", result},
                            {"exit_code", t->code},      {"bytes", t->unit.qwBytes},
                            {"skipped", t->unit.qwSkipped}, {"seconds", t->seconds},
                            {"verified", t->unit.bVerified}, {"retries", t->unit.nRetries},
                            {"serial", t->unit.strSerial}, {"reason", t->reason}};
        if (blank)
            e["blank"] = t->code == ecSuccess;
        m_c.console.Event(e);
        e.erase("event");
        list.push_back(e);
    }
    m_c.data = {{"targets", list}};
    // JSON has all of this in the target events; every event there names its target.
    const bool text = m_c.console.GetMode() != omJson;
    for (auto& t : m_Targets) {
        if (text && !t->reason.empty())
            m_c.console.Error(t->label + ": " + t->reason);
        if (text && t->unit.qwSkipped > 0 && t->code == ecSuccess)
            m_c.console.Note(t->label + ": " + std::to_string(t->unit.qwSkipped) + " bytes skipped (already there)");
    }
    if (ok == m_Targets.size()) {
        if (m_Targets.size() == 1)
            return m_Targets.front()->code;
        if (blank)
            return std::all_of(m_Targets.begin(), m_Targets.end(), [](auto& t) { return t->code == ecSuccess; })
                       ? ecSuccess
                       : ecNotBlank;
        if (text)
            m_c.console.Message(skSuccess, Printf("All %zu targets succeeded", m_Targets.size()).c_str(), 0);
        return ecSuccess;
    }
    if (m_bCancelled || cancelled == m_Targets.size())
        return ecCancelled;
    if (m_Targets.size() == 1)
        return m_Targets.front()->code;
    if (text)
        m_c.console.Error(Printf("%zu of %zu targets failed", m_Targets.size() - ok, m_Targets.size()));
    return ecSomeFailed;
}

int CGang::Run()
{
    if (const int code = Prepare(); code != ecSuccess)
        return code;
    CHostRoute route(m_c.host);
    SetHostUI(&route);
    // Once here, so that the jobs' own calls find everything in place.
    FLASHManager.Initialise("");
    {
        CSignalWatch watch(
            [&] {
                m_c.console.Message(skWarning,
                                    "Cancelling every target: waiting for the library to release the ports "
                                    "(Ctrl-C again quits at once)",
                                    0);
                Cancel();
            },
            [] {
                std::fputs("\nzflash: stopped at once; the ports may need a reset\n", stderr);
                std::_Exit(ecCancelled);
            });
        std::thread rows;
        if (m_c.console.GetMode() == omTerminal && m_c.console.GetVerbosity() != vbQuiet)
            rows = std::thread([this] { WatchRows(); });
        std::vector<std::thread> jobs;
        for (auto& t : m_Targets)
            jobs.emplace_back([this, &t] { RunTarget(*t); });
        for (std::thread& j : jobs)
            j.join();
        {
            std::lock_guard lock(m_mutex);
            m_bFinished = true;
        }
        m_wake.notify_all();
        if (rows.joinable())
            rows.join();
        m_output.EndRows();
    }
    SetHostUI(&m_c.host);
    return Summarise();
}
} // namespace

bool IsGangRun(const SCliOptions& o)
{
    const std::string& cmd = o.strCommand;
    if (cmd != "program" && cmd != "verify" && cmd != "erase" && cmd != "blank")
        return false;
    return o.Ports.size() > 1 || o.nSimCount > 0 || !o.strSerial.empty() || o.bSkipUnchanged || o.nRetries > 0;
}

int CmdGang(SCommandContext& c)
{
    CGang gang(c);
    return gang.Run();
}
