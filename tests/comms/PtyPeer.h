#pragma once
// The far end of a serial line for tests: the master side of a pseudo-terminal
// whose slave path the channel under test opens.
#include <algorithm>
#include <climits>
#include <cstdlib>
#include <string>
#include <vector>

#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

namespace zftest {

unsigned MasterOutputRate(int master); // PtyRate.cpp: any rate, standard or not

class CPtyPeer
{
public:
    CPtyPeer()
    {
        int slave = -1;
        char name[PATH_MAX] = {};
        if (::openpty(&m_master, &slave, name, nullptr, nullptr) != 0)
            std::abort();
        ::close(slave); // the channel opens it by its path
        m_path = name;
    }
    ~CPtyPeer() { Hangup(); }
    CPtyPeer(const CPtyPeer&) = delete;
    CPtyPeer& operator=(const CPtyPeer&) = delete;

    const std::string& Path() const { return m_path; }
    void Send(const std::vector<unsigned char>& bytes) const
    {
        if (::write(m_master, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()))
            std::abort();
    }
    // What arrives within nTimeoutMs, up to nCount bytes.
    std::vector<unsigned char> Receive(std::size_t nCount, int nTimeoutMs = 1000) const
    {
        std::vector<unsigned char> got(nCount);
        std::size_t n = 0;
        pollfd pfd{m_master, POLLIN, 0};
        while (n < nCount && ::poll(&pfd, 1, nTimeoutMs) > 0) {
            const ssize_t r = ::read(m_master, got.data() + n, nCount - n);
            if (r <= 0)
                break;
            n += static_cast<std::size_t>(r);
        }
        got.resize(n);
        return got;
    }
    // The line as the channel left it, seen from this side.
    termios Line() const
    {
        termios t{};
        ::tcgetattr(m_master, &t);
        return t;
    }
    unsigned OutputRate() const { return MasterOutputRate(m_master); }
    // Hangs the line up under the channel.
    void Hangup()
    {
        if (m_master >= 0)
            ::close(m_master);
        m_master = -1;
    }

private:
    int m_master = -1;
    std::string m_path;
};

} // namespace zftest
