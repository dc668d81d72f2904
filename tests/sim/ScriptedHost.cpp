#include "ScriptedHost.h"

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include "TestSupport.h"
#include "sim/SimTarget.h"

namespace simtest {

std::string DataPath(const std::string& name)
{
    return zftest::SourcePath("tests/sim/data/" + name);
}

std::string DevicePath(const std::string& name)
{
    return zftest::SourcePath("devices/" + name);
}

std::vector<BYTE> ReadFile(const std::string& path)
{
    const std::string bytes = zftest::ReadAll(path);
    return {bytes.begin(), bytes.end()};
}

namespace {
speed_t SpeedCode(DWORD rate)
{
    static const std::pair<DWORD, speed_t> kCodes[] = {{300, B300},     {1200, B1200},   {2400, B2400},
                                                       {4800, B4800},   {9600, B9600},   {19200, B19200},
                                                       {38400, B38400}, {57600, B57600}, {115200, B115200}};
    for (const auto& [r, code] : kCodes)
        if (r == rate)
            return code;
    return B0;
}
} // namespace

CScriptedHost::CScriptedHost(const CSimTarget* pTarget) : m_pTarget(pTarget) {}

CScriptedHost::~CScriptedHost()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

bool CScriptedHost::Open(const std::string& path)
{
    m_fd = ::open(path.c_str(), O_RDWR | O_NOCTTY);
    if (m_fd < 0)
        return false;
    termios t {};
    ::tcgetattr(m_fd, &t);
    ::cfmakeraw(&t);
    ::tcsetattr(m_fd, TCSANOW, &t);
    return true;
}

bool CScriptedHost::SetRate(DWORD rate)
{
    termios t {};
    if (SpeedCode(rate) == B0 || ::tcgetattr(m_fd, &t) != 0)
        return false;
    ::cfsetspeed(&t, SpeedCode(rate));
    if (::tcsetattr(m_fd, TCSANOW, &t) != 0)
        return false;
    return !m_pTarget || m_pTarget->WaitForHostRate(rate, 5000);
}

void CScriptedHost::Send(const std::vector<BYTE>& bytes)
{
    for (BYTE b : bytes) {
        while (::write(m_fd, &b, 1) != 1) {
            pollfd p = {m_fd, POLLOUT, 0};
            ::poll(&p, 1, 100);
        }
        ++m_qwSent;
    }
}

void CScriptedHost::SendNumber(DWORD value, int width)
{
    for (int i = width - 1; i >= 0; --i)
        Send(static_cast<BYTE>(value >> (8 * i)));
}

std::vector<BYTE> CScriptedHost::Receive(std::size_t count, int timeoutMs)
{
    std::vector<BYTE> out;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (out.size() < count) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0)
            break;
        pollfd p = {m_fd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left)) <= 0)
            continue;
        BYTE buffer[256];
        const std::size_t want = std::min(count - out.size(), sizeof buffer);
        const ssize_t n = ::read(m_fd, buffer, want);
        if (n > 0)
            out.insert(out.end(), buffer, buffer + n);
    }
    m_qwReceived += out.size();
    return out;
}

bool CScriptedHost::Silent(int timeoutMs)
{
    if (m_pTarget) {
        if (!m_pTarget->WaitUntilIdle(m_qwSent, 10000))
            return false;
        return m_pTarget->GetTargetBytesSent() == m_qwReceived;
    }
    pollfd p = {m_fd, POLLIN, 0};
    return ::poll(&p, 1, timeoutMs) == 0;
}

void CScriptedHost::Settle()
{
    if (m_pTarget)
        m_pTarget->WaitUntilIdle(m_qwSent, 10000);
}

DWORD CScriptedHost::Boot(const std::vector<DWORD>& rates)
{
    for (DWORD rate : rates) {
        if (!SetRate(rate))
            return 0;
        for (int i = 0; i < 2; ++i) {
            Send(0x00);
            if (Silent())
                continue;
            const std::vector<BYTE> r = Receive(1, 1000);
            if (r.size() == 1 && r[0] == 0x00)
                return rate;
        }
    }
    return 0;
}

int CScriptedHost::Acknowledge()
{
    Send(0x55);
    const std::vector<BYTE> r = Receive(1, 3000);
    return r.empty() ? -1 : r[0];
}

bool CScriptedHost::DownloadEchoed(const std::vector<BYTE>& code)
{
    const DWORD size = static_cast<DWORD>(code.size());
    std::vector<BYTE> all = {static_cast<BYTE>(size >> 8), static_cast<BYTE>(size)};
    all.insert(all.end(), code.begin(), code.end());
    for (BYTE b : all) {
        Send(b);
        const std::vector<BYTE> echo = Receive(1, 3000);
        if (echo.size() != 1 || echo[0] != b)
            return false;
    }
    return true;
}

bool CScriptedHost::ChangeBaud(DWORD newRate, DWORD presentRate)
{
    Send({0x44, 0x04});
    const std::vector<BYTE> present = Receive(1, 3000);
    if (present.size() != 1)
        return false;
    // The clock follows from the present value: rate = clock / (32 (BRR + 1)).
    const double brr = (present[0] + 1.0) * presentRate / newRate - 1.0;
    Send(static_cast<BYTE>(std::lround(brr)));
    if (!SetRate(newRate))
        return false;
    const std::vector<BYTE> check = {0x01, 0x02, 0x03, 0x04};
    Send(check);
    return Receive(4, 3000) == check;
}

void CScriptedHost::DownloadKernel(const std::vector<BYTE>& code)
{
    SendNumber(static_cast<DWORD>(code.size()), 2);
    Send(code);
}

int CScriptedHost::Identify(BYTE identifier)
{
    Send(0x09);
    const std::vector<BYTE> r = Receive(7, 3000);
    if (r.size() != 7)
        return -1;
    m_nWidth = ((r[6] >> 2) & 3) + 1;
    m_nRegisters = r[6] & 3;
    Send(identifier);
    if ((r[6] & 0x40) && Receive(2, 3000).size() != 2)
        return -1;
    return Handshake().size() == 2 ? r[6] : -1;
}

std::vector<BYTE> CScriptedHost::Handshake()
{
    Send(0x0A);
    return Receive(2, 3000);
}

void CScriptedHost::DownloadModule(WORD address, const std::vector<BYTE>& code, BYTE command)
{
    Send(command ? command : code.size() < 0x100 ? 0x28 : 0x48);
    SendNumber(static_cast<DWORD>(code.size()), 2);
    SendNumber(address, 2);
    Send(code);
}

void CScriptedHost::FunctionMap(const std::vector<WORD>& entries, WORD bufferAddress, WORD bufferSize)
{
    Send(0x38);
    Send(static_cast<BYTE>(entries.size() * 2));
    for (WORD e : entries)
        SendNumber(e, 2);
    SendNumber(bufferAddress, 2);
    SendNumber(bufferSize, 2);
}

std::vector<BYTE> CScriptedHost::Erase(DWORD start, DWORD end, const std::vector<BYTE>& ebr)
{
    Send(0x03);
    SendNumber(start, m_nWidth);
    SendNumber(end, m_nWidth);
    for (int i = 0; i < m_nRegisters; ++i)
        Send(i < static_cast<int>(ebr.size()) ? ebr[i] : 0);
    std::vector<BYTE> answer;
    for (int i = 0; i < 100000; ++i) {
        const std::vector<BYTE> r = Receive(1, 5000);
        if (r.empty())
            break;
        answer.push_back(r[0]);
        if (r[0] != 0x29)
            break;
    }
    return answer;
}

int CScriptedHost::BlankCheck(DWORD start, DWORD length)
{
    Send(0x05);
    SendNumber(start, m_nWidth);
    SendNumber(length, m_nWidth);
    const std::vector<BYTE> r = Receive(1, 5000);
    return r.empty() ? -1 : r[0];
}

bool CScriptedHost::Write(DWORD start, const std::vector<BYTE>& data, std::vector<BYTE>* pReplies)
{
    // Bits 5-7 of the command byte give the width of the length that follows.
    const DWORD length = static_cast<DWORD>(data.size());
    const int n = length < 0x100 ? 1 : length < 0x10000 ? 2 : length < 0x1000000 ? 3 : 4;
    Send(static_cast<BYTE>(0x02 | (n << 5)));
    SendNumber(length, n);
    SendNumber(start, m_nWidth);
    Send(data);
    *pReplies = Receive(1, 5000);
    if (pReplies->empty() || pReplies->front() != 0x00)
        return false;
    Send(0x01);
    const std::vector<BYTE> final = Receive(1, 5000);
    pReplies->insert(pReplies->end(), final.begin(), final.end());
    return !final.empty();
}

} // namespace simtest
