#include "comms/ScanletSocket.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

void SScanletFrame::PutNumber(std::uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        m_Payload.push_back(static_cast<unsigned char>(value >> (8 * i)));
}

std::uint32_t SScanletFrame::Number(std::size_t offset) const
{
    if (offset + 4 > m_Payload.size())
        return 0;
    std::uint32_t value = 0;
    for (int i = 3; i >= 0; --i)
        value = (value << 8) | m_Payload[offset + static_cast<std::size_t>(i)];
    return value;
}

CScanletWire::Deadline CScanletWire::After(unsigned long ms)
{
    return std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
}

eScanletIO CScanletWire::Transfer(int fd, unsigned char* pData, std::size_t nBytes, bool bSend, Deadline deadline,
                                  int wakeFd)
{
    std::size_t nDone = 0;
    while (nDone < nBytes) {
        const ssize_t n = bSend ? ::send(fd, pData + nDone, nBytes - nDone, MSG_NOSIGNAL | MSG_DONTWAIT)
                                : ::recv(fd, pData + nDone, nBytes - nDone, MSG_DONTWAIT);
        if (n > 0) {
            nDone += static_cast<std::size_t>(n);
            continue;
        }
        if (n == 0)
            return sioClosed;
        if (errno == EPIPE || errno == ECONNRESET)
            return sioClosed;
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            return sioFailed;

        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return sioTimedOut;
        pollfd fds[2] = {{fd, static_cast<short>(bSend ? POLLOUT : POLLIN), 0}, {wakeFd, POLLIN, 0}};
        const int waitMs = static_cast<int>(std::min<long long>(left.count(), 60000));
        const int ready = ::poll(fds, wakeFd >= 0 ? 2 : 1, waitMs);
        if (ready < 0 && errno != EINTR)
            return sioFailed;
        if (ready > 0 && wakeFd >= 0 && (fds[1].revents & POLLIN))
            return sioWoken;
        // POLLHUP and POLLERR show in the next send or recv.
    }
    return sioDone;
}

eScanletIO CScanletWire::Send(int fd, const SScanletFrame& frame, Deadline deadline, int wakeFd)
{
    if (frame.m_Payload.size() > kMaxPayload)
        return sioGarbage;
    std::vector<unsigned char> bytes{frame.m_nKind, static_cast<unsigned char>(frame.m_Payload.size() & 0xFF),
                                     static_cast<unsigned char>(frame.m_Payload.size() >> 8)};
    bytes.insert(bytes.end(), frame.m_Payload.begin(), frame.m_Payload.end());
    return Transfer(fd, bytes.data(), bytes.size(), true, deadline, wakeFd);
}

eScanletIO CScanletWire::Receive(int fd, SScanletFrame& frame, Deadline deadline, int wakeFd)
{
    unsigned char header[kHeaderBytes] = {};
    if (const eScanletIO io = Transfer(fd, header, kHeaderBytes, false, deadline, wakeFd); io != sioDone)
        return io;
    const std::size_t nLength = header[1] | (static_cast<std::size_t>(header[2]) << 8);
    if (nLength > kMaxPayload)
        return sioGarbage;
    frame.m_nKind = header[0];
    frame.m_Payload.assign(nLength, 0);
    return nLength ? Transfer(fd, frame.m_Payload.data(), nLength, false, deadline, wakeFd) : sioDone;
}

CString CScanletWire::Describe(eScanletIO result, int error)
{
    switch (result) {
    case sioDone: return "";
    case sioTimedOut: return "no answer in time";
    case sioClosed: return "the connection was closed";
    case sioFailed: return std::strerror(error);
    case sioGarbage: return "the answer is not understood";
    case sioWoken: return "stopped";
    }
    return "";
}

CScanletSocketBackend::CScanletSocketBackend(const CString& path) : m_strPath(path) {}

CScanletSocketBackend::~CScanletSocketBackend()
{
    std::lock_guard guard(m_lock);
    if (m_fd >= 0)
        ::close(m_fd);
}

CString CScanletSocketBackend::GetLastError() const
{
    std::lock_guard guard(m_lock);
    return m_strLastError;
}

void CScanletSocketBackend::Drop(const CString& reason)
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
    m_strLastError = reason;
}

bool CScanletSocketBackend::Connect(CString& error)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (m_strPath.IsEmpty() || m_strPath.str().size() >= sizeof address.sun_path) {
        error = "cannot reach the adapter at '" + m_strPath + "': the socket path is empty or too long";
        return false;
    }
    std::memcpy(address.sun_path, m_strPath.GetString(), m_strPath.str().size());
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0 || ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        // A full backlog shows as EAGAIN on a non-blocking Unix socket.
        const CString why = errno == EAGAIN ? CString("the adapter is busy") : CString(std::strerror(errno));
        if (fd >= 0)
            ::close(fd);
        error = "cannot reach the adapter at '" + m_strPath + "': " + why;
        return false;
    }
    m_fd = fd;
    return true;
}

eScanletIO CScanletSocketBackend::Exchange(SScanletFrame& frame, std::size_t nMinAnswer, unsigned long waitMs)
{
    std::lock_guard guard(m_lock);
    if (m_fd < 0)
        return sioClosed;
    const unsigned char nKind = frame.m_nKind;
    const CScanletWire::Deadline deadline = CScanletWire::After(waitMs);
    eScanletIO io = CScanletWire::Send(m_fd, frame, deadline);
    if (io == sioDone)
        io = CScanletWire::Receive(m_fd, frame, deadline);
    const int error = errno;
    if (io == sioDone && (frame.m_nKind != nKind || frame.m_Payload.size() < nMinAnswer))
        io = sioGarbage;
    if (io != sioDone)
        Drop("the link to the adapter at '" + m_strPath + "' was dropped: " + CScanletWire::Describe(io, error));
    return io;
}

void CScanletSocketBackend::Notify(SScanletFrame& frame)
{
    Exchange(frame, 0, kAnswerWaitMs);
}

int CScanletSocketBackend::ResultOf(eScanletIO io, const SScanletFrame& answer) const
{
    if (io == sioDone)
        return static_cast<std::int32_t>(answer.Number(0));
    return io == sioTimedOut ? SCANLET_TIMEOUT : SCANLET_NOT_OPEN;
}

bool CScanletSocketBackend::OpenPort(CString& error)
{
    {
        std::lock_guard guard(m_lock);
        m_strLastError.Empty();
        if (m_fd < 0 && !Connect(error)) {
            m_strLastError = error;
            return false;
        }
    }
    SScanletFrame frame{srOpen, {}};
    frame.PutByte(CScanletWire::kVersion);
    if (Exchange(frame, 1, kAnswerWaitMs) != sioDone) {
        error = GetLastError();
        return false;
    }
    if (frame.m_Payload[0] != 0)
        return true;
    error = CString(reinterpret_cast<const char*>(frame.m_Payload.data() + 1),
                    static_cast<int>(frame.m_Payload.size() - 1));
    if (error.IsEmpty())
        error = "the adapter's port could not be opened";
    std::lock_guard guard(m_lock);
    Drop(error);
    return false;
}

void CScanletSocketBackend::ClosePort()
{
    SScanletFrame frame{srClose, {}};
    Notify(frame);
    // The server takes its next client once this one has gone.
    std::lock_guard guard(m_lock);
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

void CScanletSocketBackend::SetClockInput(unsigned char clkin, int mode)
{
    SScanletFrame frame{srClockInput, {clkin}};
    frame.PutNumber(static_cast<std::uint32_t>(mode));
    Notify(frame);
}

void CScanletSocketBackend::SetClockDivider(unsigned char cdiv)
{
    SScanletFrame frame{srClockDivider, {cdiv}};
    Notify(frame);
}

void CScanletSocketBackend::SetOutputsEnabled(bool enabled)
{
    SScanletFrame frame{srOutputs, {static_cast<unsigned char>(enabled ? 1 : 0)}};
    Notify(frame);
}

void CScanletSocketBackend::ResetTestLogic()
{
    SScanletFrame frame{srResetTestLogic, {}};
    Notify(frame);
}

int CScanletSocketBackend::ScanIR(const unsigned char* instruction, unsigned long bits, unsigned char* out)
{
    if (!instruction || bits > CScanletWire::kMaxScanBits) {
        std::lock_guard guard(m_lock);
        m_strLastError.Format("an instruction scan of %lu bits is more than the link carries (%lu)", bits,
                              CScanletWire::kMaxScanBits);
        return SCANLET_BAD_REQUEST;
    }
    const std::size_t nBytes = (bits + 7) / 8;
    SScanletFrame frame{srScanIR, {}};
    frame.PutNumber(static_cast<std::uint32_t>(bits));
    frame.m_Payload.insert(frame.m_Payload.end(), instruction, instruction + nBytes);
    const eScanletIO io = Exchange(frame, 4 + nBytes, kAnswerWaitMs);
    if (io == sioDone && out)
        std::copy_n(frame.m_Payload.begin() + 4, nBytes, out);
    return ResultOf(io, frame);
}

namespace {
std::uint32_t WireTimeout(unsigned long timeoutMs)
{
    return static_cast<std::uint32_t>(std::min<unsigned long>(timeoutMs, 0xFFFFFFFFUL));
}
} // namespace

int CScanletSocketBackend::WriteWord(const unsigned char word[4], unsigned long timeoutMs)
{
    SScanletFrame frame{srWriteWord, {}};
    frame.PutNumber(WireTimeout(timeoutMs));
    frame.m_Payload.insert(frame.m_Payload.end(), word, word + 4);
    return ResultOf(Exchange(frame, 4, WireTimeout(timeoutMs) + kWordGraceMs), frame);
}

int CScanletSocketBackend::ReadWord(unsigned char word[4], unsigned long timeoutMs)
{
    SScanletFrame frame{srReadWord, {}};
    frame.PutNumber(WireTimeout(timeoutMs));
    const eScanletIO io = Exchange(frame, 8, WireTimeout(timeoutMs) + kWordGraceMs);
    const int result = ResultOf(io, frame);
    if (result == SCANLET_OK)
        std::copy_n(frame.m_Payload.begin() + 4, 4, word);
    return result;
}
