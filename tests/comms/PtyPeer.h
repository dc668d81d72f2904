#pragma once
// The far end of a serial line for tests: the master side of a pseudo-terminal
// whose slave path the channel under test opens.
#include <string>
#include <vector>

#include <termios.h>

namespace zftest {

class CPtyPeer
{
public:
    CPtyPeer();
    ~CPtyPeer();
    CPtyPeer(const CPtyPeer&) = delete;
    CPtyPeer& operator=(const CPtyPeer&) = delete;

    const std::string& Path() const { return m_path; }
    void Send(const std::vector<unsigned char>& bytes) const;
    // What arrives within nTimeoutMs, up to nCount bytes.
    std::vector<unsigned char> Receive(std::size_t nCount, int nTimeoutMs = 1000) const;
    // The line as the channel left it, read from this side.
    termios Line() const;
    unsigned OutputRate() const; // any rate, standard or not
    // Hangs the line up under the channel.
    void Hangup();

private:
    int m_master = -1;
    std::string m_path;
};

} // namespace zftest
