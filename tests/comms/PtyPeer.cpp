#include "PtyPeer.h"

#include <algorithm>
#include <climits>
#include <cstdlib>

#include <poll.h>
#include <pty.h>
#include <unistd.h>

namespace zftest {

unsigned MasterOutputRate(int master); // PtyRate.cpp

CPtyPeer::CPtyPeer()
{
    int slave = -1;
    char name[PATH_MAX] = {};
    if (::openpty(&m_master, &slave, name, nullptr, nullptr) != 0)
        std::abort();
    ::close(slave); // the channel opens the slave by its path
    m_path = name;
}

CPtyPeer::~CPtyPeer()
{
    Hangup();
}

void CPtyPeer::Send(const std::vector<unsigned char>& bytes) const
{
    if (::write(m_master, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()))
        std::abort();
}

std::vector<unsigned char> CPtyPeer::Receive(std::size_t nCount, int nTimeoutMs) const
{
    std::vector<unsigned char> got;
    unsigned char buf[256];
    while (got.size() < nCount) {
        pollfd pfd{m_master, POLLIN, 0};
        if (::poll(&pfd, 1, nTimeoutMs) <= 0)
            break;
        const ssize_t n = ::read(m_master, buf, std::min(sizeof buf, nCount - got.size()));
        if (n <= 0)
            break;
        got.insert(got.end(), buf, buf + n);
    }
    return got;
}

termios CPtyPeer::Line() const
{
    termios t{};
    if (::tcgetattr(m_master, &t) != 0)
        std::abort();
    return t;
}

unsigned CPtyPeer::OutputRate() const
{
    return MasterOutputRate(m_master);
}

void CPtyPeer::Hangup()
{
    if (m_master >= 0)
        ::close(m_master);
    m_master = -1;
}

} // namespace zftest
