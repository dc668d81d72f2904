#pragma once
// Runs a program as a child process with its output on pipes, for tests that
// treat the tool as a user or a script would.
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

struct SToolResult
{
    int code;
    std::string out;
    std::string err;
};

// The tool with these arguments, run to its end.
SToolResult RunZflash(const std::vector<std::string>& args);
std::string SourceFile(const std::string& relative);
