#pragma once
// Runs a program as a child process with its output on pipes, for tests that
// treat the tool as a user or a script would.
#include <csignal>
#include <string>
#include <vector>

#include <sys/types.h>

class CToolProcess
{
public:
    explicit CToolProcess(const std::vector<std::string>& argv);
    ~CToolProcess();
    CToolProcess(const CToolProcess&) = delete;
    CToolProcess& operator=(const CToolProcess&) = delete;

    // The next line of stdout; false at its end or after timeoutMs.
    bool ReadLine(std::string& line, int timeoutMs);
    void Signal(int sig);
    // Waits for the exit, collecting the rest of the output; -1 after timeoutMs (the child is killed).
    int Wait(int timeoutMs = 60000);
    const std::string& Out() const { return m_out; }
    const std::string& Err() const { return m_err; }

private:
    bool Pump(int timeoutMs);

    pid_t m_pid = -1;
    int m_outFd = -1;
    int m_errFd = -1;
    std::string m_out;
    std::string m_err;
    size_t m_consumed = 0;
};

// zflash-sim serving a definition (a path under the source tree) with these
// extra options; the tool reaches it through its pty.
class CSimProcess
{
public:
    explicit CSimProcess(const std::string& definition, const std::vector<std::string>& options = {});
    // Stops it with SIGINT.
    ~CSimProcess();
    const std::string& Port() const { return m_port; }
    // Further lines it prints after the port.
    bool ReadLine(std::string& line, int timeoutMs = 20000) { return m_proc.ReadLine(line, timeoutMs); }
    // Stops it with sig and gives its exit status.
    int Stop(int sig = SIGINT);
    const std::string& Err() const { return m_proc.Err(); }

private:
    CToolProcess m_proc;
    std::string m_port;
    bool m_bStopped = false;
};

struct SToolResult
{
    int code;
    std::string out;
    std::string err;
};

// The tool with these arguments, run to its end.
SToolResult RunZflash(const std::vector<std::string>& args);
std::string SourceFile(const std::string& relative);
