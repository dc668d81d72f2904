#include "ToolProcess.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include "TestSupport.h"

CToolProcess::CToolProcess(const std::vector<std::string>& argv)
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
        // The tool takes its signals itself; start it with none blocked.
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
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

CToolProcess::~CToolProcess()
{
    if (m_pid > 0)
        Wait(1);
}

bool CToolProcess::Pump(int timeoutMs)
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

bool CToolProcess::ReadLine(std::string& line, int timeoutMs)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const size_t eol = m_out.find('\n', m_consumed);
        if (eol != std::string::npos) {
            line = m_out.substr(m_consumed, eol - m_consumed);
            m_consumed = eol + 1;
            return true;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || m_outFd < 0 || !Pump(static_cast<int>(left.count())))
            return false;
    }
}

void CToolProcess::Signal(int sig)
{
    if (m_pid > 0)
        ::kill(m_pid, sig);
}

int CToolProcess::Wait(int timeoutMs)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while ((m_outFd >= 0 || m_errFd >= 0) && std::chrono::steady_clock::now() < deadline)
        Pump(100);
    int status = 0;
    for (;;) {
        if (::waitpid(m_pid, &status, WNOHANG) == m_pid)
            break;
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

namespace {
std::vector<std::string> SimArguments(const std::string& definition, const std::vector<std::string>& options)
{
    std::vector<std::string> argv{ZFLASH_SIM_EXE, "-d", SourceFile(definition)};
    argv.insert(argv.end(), options.begin(), options.end());
    return argv;
}
} // namespace

CSimProcess::CSimProcess(const std::string& definition, const std::vector<std::string>& options)
    : m_proc(SimArguments(definition, options))
{
    m_proc.ReadLine(m_port, 20000);
}

CSimProcess::~CSimProcess()
{
    Stop();
}

int CSimProcess::Stop(int sig)
{
    if (m_bStopped)
        return -1;
    m_bStopped = true;
    m_proc.Signal(sig);
    return m_proc.Wait(20000);
}

SToolResult RunZflash(const std::vector<std::string>& args)
{
    std::vector<std::string> argv{ZFLASH_CLI_EXE};
    argv.insert(argv.end(), args.begin(), args.end());
    CToolProcess p(argv);
    const int code = p.Wait();
    return {code, p.Out(), p.Err()};
}

std::string SourceFile(const std::string& relative)
{
    return zftest::SourcePath(relative);
}
