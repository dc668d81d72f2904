#pragma once
// Runs a program as a child process with its output on pipes, for tests that
// treat the tool (or zflash-sim) as a user or a script would.
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "TestSupport.h"

// In a forked child before exec: the tool takes its signals itself, so it
// starts with none blocked.
inline void UnblockAllSignals()
{
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
}

// A test whose every run gets its own settings (with the virtual target's
// time-out factor) and a folder for its files.
template <class TBase = ::testing::Test>
struct TToolRun : TBase
{
    zftest::ScopedSettings settings{zftest::ScopedSettings::kVirtualTargetFactor};
    zftest::TempDir dir;
};

class CToolProcess
{
public:
    explicit CToolProcess(const std::vector<std::string>& argv)
    {
        int out[2], err[2];
        if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0)
            std::abort();
        m_pid = ::fork();
        if (m_pid == 0) {
            const int devnull = ::open("/dev/null", O_RDONLY);
            ::dup2(devnull, 0);
            ::dup2(out[1], 1);
            ::dup2(err[1], 2);
            UnblockAllSignals();
            std::vector<char*> args;
            for (const std::string& a : argv)
                args.push_back(const_cast<char*>(a.c_str()));
            args.push_back(nullptr);
            ::execv(args[0], args.data());
            ::_exit(127);
        }
        ::close(out[1]);
        ::close(err[1]);
        m_outFd = out[0];
        m_errFd = err[0];
    }
    ~CToolProcess()
    {
        if (m_pid > 0)
            Wait(1);
    }
    CToolProcess(const CToolProcess&) = delete;
    CToolProcess& operator=(const CToolProcess&) = delete;

    // The next line of stdout; false at its end or after timeoutMs.
    bool ReadLine(std::string& line, int timeoutMs)
    {
        size_t eol = std::string::npos;
        if (!PumpUntil([&] { return (eol = m_out.find('\n', m_consumed)) != std::string::npos; }, m_outFd, timeoutMs))
            return false;
        line = m_out.substr(m_consumed, eol - m_consumed);
        m_consumed = eol + 1;
        return true;
    }
    void Signal(int sig)
    {
        if (m_pid > 0)
            ::kill(m_pid, sig);
    }
    // Waits for the exit, collecting the rest of the output; -1 after timeoutMs (the child is killed).
    int Wait(int timeoutMs = 60000)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while ((m_outFd >= 0 || m_errFd >= 0) && std::chrono::steady_clock::now() < deadline)
            Pump(100);
        int status = 0;
        while (::waitpid(m_pid, &status, WNOHANG) != m_pid) {
            if (std::chrono::steady_clock::now() >= deadline) {
                ::kill(m_pid, SIGKILL);
                ::waitpid(m_pid, &status, 0);
                m_pid = -1;
                return -1;
            }
            ::usleep(10000);
        }
        m_pid = -1;
        for (int* fd : {&m_outFd, &m_errFd})
            if (*fd >= 0) {
                ::close(*fd);
                *fd = -1;
            }
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    const std::string& Out() const { return m_out; }
    const std::string& Err() const { return m_err; }
    // Collects output until text has appeared on stderr; false after timeoutMs.
    bool WaitForErr(const std::string& text, int timeoutMs)
    {
        return PumpUntil([&] { return m_err.find(text) != std::string::npos; }, m_errFd, timeoutMs);
    }

private:
    // Pumps until done() holds; false once fd has closed first or after timeoutMs.
    template <class FDone>
    bool PumpUntil(FDone done, const int& fd, int timeoutMs)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (!done()) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0 || fd < 0 || !Pump(static_cast<int>(left.count())))
                return false;
        }
        return true;
    }
    bool Pump(int timeoutMs)
    {
        pollfd fds[2] = {{m_outFd, POLLIN, 0}, {m_errFd, POLLIN, 0}};
        const int n = ::poll(fds, 2, timeoutMs);
        if (n <= 0)
            return n < 0 && errno == EINTR;
        bool any = false;
        for (int i = 0; i < 2; ++i) {
            if (!(fds[i].revents & (POLLIN | POLLHUP)))
                continue;
            char buf[4096];
            const ssize_t got = ::read(fds[i].fd, buf, sizeof buf);
            if (got > 0) {
                (i == 0 ? m_out : m_err).append(buf, static_cast<size_t>(got));
                any = true;
            } else {
                ::close(fds[i].fd);
                (i == 0 ? m_outFd : m_errFd) = -1;
            }
        }
        return any || m_outFd >= 0 || m_errFd >= 0;
    }

    pid_t m_pid = -1;
    int m_outFd = -1;
    int m_errFd = -1;
    std::string m_out;
    std::string m_err;
    size_t m_consumed = 0;
};

inline std::vector<std::string> SimArguments(const std::string& definition, const std::vector<std::string>& options)
{
    std::vector<std::string> argv{ZFLASH_SIM_EXE, "-d", zftest::SourcePath(definition)};
    argv.insert(argv.end(), options.begin(), options.end());
    return argv;
}

// zflash-sim serving a definition (a path under the source tree) with these
// extra options; the tool reaches it through its pty. Port() is empty when it
// printed nothing before it ended.
class CSimProcess
{
public:
    explicit CSimProcess(const std::string& definition, const std::vector<std::string>& options = {})
        : m_proc(SimArguments(definition, options))
    {
        m_proc.ReadLine(m_port, 20000);
    }
    // Stops it with SIGINT.
    ~CSimProcess() { Stop(); }
    const std::string& Port() const { return m_port; }
    // Further lines it prints after the port.
    bool ReadLine(std::string& line, int timeoutMs = 20000) { return m_proc.ReadLine(line, timeoutMs); }
    // Stops it with sig (0: waits for it to end by itself) and gives its exit status.
    int Stop(int sig = SIGINT)
    {
        if (m_bStopped)
            return -1;
        m_bStopped = true;
        m_proc.Signal(sig);
        return m_proc.Wait(20000);
    }
    const std::string& Err() const { return m_proc.Err(); }
    // With --verbose: waits for one of the target's notes.
    bool WaitForNote(const std::string& text, int timeoutMs) { return m_proc.WaitForErr(text, timeoutMs); }

private:
    CToolProcess m_proc;
    std::string m_port;
    bool m_bStopped = false;
};

#ifdef ZFLASH_CLI_EXE
#include <sstream>

#include <nlohmann/json.hpp>

// The tool's --json output, one event a line; anything but JSON throws (fails the test).
inline std::vector<nlohmann::json> Events(const std::string& out)
{
    std::vector<nlohmann::json> events;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);)
        events.push_back(nlohmann::json::parse(line));
    return events;
}

struct SToolResult
{
    int code;
    std::string out;
    std::string err;
};

// The tool's command line with these arguments.
inline std::vector<std::string> ZflashArgv(std::vector<std::string> args)
{
    args.insert(args.begin(), ZFLASH_CLI_EXE);
    return args;
}

// The tool with these arguments, run to its end.
inline SToolResult RunZflash(const std::vector<std::string>& args)
{
    CToolProcess p(ZflashArgv(args));
    const int code = p.Wait();
    return {code, p.Out(), p.Err()};
}
#endif
