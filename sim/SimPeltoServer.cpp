#include "sim/SimPeltoServer.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "sim/SimTarget.h"

namespace {
// A request's bytes follow its first byte at once; a client stalled halfway
// through one is out of step and is dropped.
constexpr unsigned long kFrameWaitMs = 5000;
// How often a long word read looks whether the server is stopping.
constexpr unsigned long kReadSliceMs = 100;
constexpr const char* kInUse = "the adapter's port is in use by another program";

bool MakeAddress(const CString& path, sockaddr_un* pAddress)
{
    *pAddress = sockaddr_un{};
    pAddress->sun_family = AF_UNIX;
    if (path.IsEmpty() || path.str().size() >= sizeof pAddress->sun_path)
        return false;
    std::memcpy(pAddress->sun_path, path.GetString(), path.str().size());
    return true;
}

// True when some program answers on the socket at path.
bool IsServed(const sockaddr_un& address)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return false;
    const int result = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    const bool served = result == 0 || errno == EAGAIN;
    ::close(fd);
    return served;
}

std::int64_t NowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}
} // namespace

CSimPeltoServer::CSimPeltoServer(CSimTarget& target) : m_target(target), m_pPelto(std::make_unique<CSimPelto>(target))
{
}

CSimPeltoServer::~CSimPeltoServer()
{
    Stop();
}

bool CSimPeltoServer::Start(const CString& path, CString* error)
{
    auto fail = [&](const CString& why) {
        if (error)
            *error = "cannot serve the adapter on '" + path + "': " + why;
        return false;
    };
    if (m_thread.joinable())
        return fail("the adapter is served already");
    sockaddr_un address;
    if (!MakeAddress(path, &address))
        return fail("the path is empty or too long for a socket");
    struct stat st;
    if (::lstat(path, &st) == 0) {
        if (!S_ISSOCK(st.st_mode))
            return fail("a file that is not a socket is in the way");
        if (IsServed(address))
            return fail("another program serves it");
        ::unlink(path); // left by a server that did not end cleanly
    }

    m_listenFd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (m_listenFd < 0 || ::bind(m_listenFd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(m_listenFd, 4) != 0) {
        const CString why = std::strerror(errno);
        if (m_listenFd >= 0)
            ::close(m_listenFd);
        m_listenFd = -1;
        return fail(why);
    }
    if (::pipe2(m_wake, O_CLOEXEC | O_NONBLOCK) != 0) {
        const CString why = std::strerror(errno);
        ::close(m_listenFd);
        m_listenFd = -1;
        ::unlink(path);
        return fail(why);
    }
    m_strPath = path;
    m_bStopping = false;
    m_nLastRequestMs = NowMs();
    m_thread = std::thread([this] { Run(); });
    return true;
}

std::uint64_t CSimPeltoServer::GetIdleMilliseconds() const
{
    const std::int64_t d = NowMs() - m_nLastRequestMs.load();
    return d > 0 ? static_cast<std::uint64_t>(d) : 0;
}

void CSimPeltoServer::Stop()
{
    if (!m_thread.joinable())
        return;
    m_bStopping = true;
    const char byte = 0;
    [[maybe_unused]] const ssize_t n = ::write(m_wake[1], &byte, 1);
    m_thread.join();
    ::close(m_listenFd);
    m_listenFd = -1;
    ::unlink(m_strPath);
    for (int& fd : m_wake) {
        ::close(fd);
        fd = -1;
    }
}

void CSimPeltoServer::Run()
{
    while (!m_bStopping) {
        pollfd fds[2] = {{m_wake[0], POLLIN, 0}, {m_listenFd, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0 && errno != EINTR)
            break;
        if (fds[0].revents & POLLIN)
            break;
        if (!(fds[1].revents & POLLIN))
            continue;
        const int fd = ::accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0)
            continue;
        ++m_nClients;
        m_target.Event(ekNote, "JTAG adapter: a host connected on %s", m_strPath.GetString());
        Serve(fd);
        ::close(fd);
        m_pPelto->ClosePort();
        m_target.Event(ekNote, "JTAG adapter: the host left");
    }
}

void CSimPeltoServer::Serve(int fd)
{
    while (!m_bStopping) {
        pollfd fds[3] = {{m_wake[0], POLLIN, 0}, {fd, POLLIN, 0}, {m_listenFd, POLLIN, 0}};
        if (::poll(fds, 3, -1) < 0 && errno != EINTR)
            return;
        if (fds[0].revents & POLLIN)
            return;
        // The host first: one that has just left is not a reason to turn the next away.
        if (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) {
            SScanletFrame frame;
            if (CScanletWire::Receive(fd, frame, CScanletWire::After(kFrameWaitMs), m_wake[0]) != sioDone)
                return;
            m_nLastRequestMs = NowMs();
            if (!Answer(frame)) {
                m_target.Event(ekViolation, "JTAG adapter: request 0x%02X not understood; the host is dropped",
                               frame.m_nKind);
                return;
            }
            if (CScanletWire::Send(fd, frame, CScanletWire::After(kFrameWaitMs), m_wake[0]) != sioDone)
                return;
            m_nLastRequestMs = NowMs();
        }
        if (fds[2].revents & POLLIN) {
            if (const int other = ::accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK); other >= 0)
                TurnAway(other);
        }
    }
}

void CSimPeltoServer::TurnAway(int fd)
{
    // Its opening request is read first, so the refusal is what it sees.
    SScanletFrame frame;
    if (CScanletWire::Receive(fd, frame, CScanletWire::After(kFrameWaitMs), m_wake[0]) == sioDone) {
        frame.m_Payload.assign(1, 0);
        frame.m_Payload.insert(frame.m_Payload.end(), kInUse, kInUse + std::strlen(kInUse));
        CScanletWire::Send(fd, frame, CScanletWire::After(kFrameWaitMs), m_wake[0]);
    }
    ::close(fd);
}

int CSimPeltoServer::ReadWord(unsigned char word[4], unsigned long timeoutMs)
{
    const CScanletWire::Deadline deadline = CScanletWire::After(timeoutMs);
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        const unsigned long sliceMs = std::min<unsigned long>(kReadSliceMs, std::max<long long>(left.count(), 0));
        const int result = m_pPelto->ReadWord(word, sliceMs);
        if (result != SCANLET_TIMEOUT || sliceMs == 0 || m_bStopping)
            return result;
    }
}

bool CSimPeltoServer::Answer(SScanletFrame& frame)
{
    const std::vector<unsigned char> request = std::move(frame.m_Payload);
    frame.m_Payload.clear();
    const std::size_t nSize = request.size();
    switch (frame.m_nKind) {
    case srOpen: {
        CString error;
        const bool bTaken = nSize == 1 && request[0] == CScanletWire::kVersion;
        if (!bTaken)
            error = "the adapter speaks another version of the link";
        else if (!m_pPelto->OpenPort(error))
            error = error.IsEmpty() ? CString("the adapter's port cannot be opened") : error;
        frame.PutByte(bTaken && error.IsEmpty() ? 1 : 0);
        frame.m_Payload.insert(frame.m_Payload.end(), error.str().begin(), error.str().end());
        return true;
    }
    case srClose: m_pPelto->ClosePort(); return nSize == 0;
    case srClockInput:
        if (nSize != 5)
            return false;
        m_pPelto->SetClockInput(request[0], static_cast<int>(SScanletFrame{0, request}.Number(1)));
        return true;
    case srClockDivider:
        if (nSize != 1)
            return false;
        m_pPelto->SetClockDivider(request[0]);
        return true;
    case srOutputs:
        if (nSize != 1)
            return false;
        m_pPelto->SetOutputsEnabled(request[0] != 0);
        return true;
    case srResetTestLogic: m_pPelto->ResetTestLogic(); return nSize == 0;
    case srScanIR: {
        const unsigned long bits = SScanletFrame{0, request}.Number(0);
        const std::size_t nBytes = (bits + 7) / 8;
        if (nSize < 4 || bits > CScanletWire::kMaxScanBits || nSize != 4 + nBytes)
            return false;
        std::vector<unsigned char> out(nBytes, 0);
        frame.PutNumber(static_cast<std::uint32_t>(m_pPelto->ScanIR(request.data() + 4, bits, out.data())));
        frame.m_Payload.insert(frame.m_Payload.end(), out.begin(), out.end());
        return true;
    }
    case srWriteWord: {
        if (nSize != 8)
            return false;
        const unsigned long timeoutMs = SScanletFrame{0, request}.Number(0);
        frame.PutNumber(static_cast<std::uint32_t>(m_pPelto->WriteWord(request.data() + 4, timeoutMs)));
        return true;
    }
    case srReadWord: {
        if (nSize != 4)
            return false;
        unsigned char word[4] = {};
        frame.PutNumber(static_cast<std::uint32_t>(ReadWord(word, SScanletFrame{0, request}.Number(0))));
        frame.m_Payload.insert(frame.m_Payload.end(), word, word + 4);
        return true;
    }
    default: return false;
    }
}
