#include "comms/SerialLine.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <linux/serial.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace {

// A terminal has no time-out record of its own; this is the driver's part:
// one record per open handle, as the channel last applied it.
struct TimeoutTable
{
    std::mutex mutex;
    std::map<int, COMMTIMEOUTS> records;
    std::map<int, unsigned long long> byteNs; // 10 bit times at the rate set last
};

TimeoutTable& Timeouts()
{
    static TimeoutTable* s_table = new TimeoutTable; // outlives every static channel
    return *s_table;
}

using Clock = std::chrono::steady_clock;

// Milliseconds left until a deadline, for poll; never negative.
int MillisecondsUntil(Clock::time_point deadline)
{
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return static_cast<int>(std::clamp<long long>(left, 0, INT_MAX));
}

// No echo, no line editing, no character translation: every byte passes as it is.
// A read returns as soon as one byte is there (the handle never blocks anyway).
void MakeTransparent(termios& t)
{
    t.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IUCLC | IMAXBEL);
    t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    t.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHOE | ECHOK | ECHONL | ICANON | ISIG | IEXTEN);
    t.c_cflag |= CREAD | CLOCAL;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
}

speed_t StandardSpeed(DWORD nRate)
{
    static const struct
    {
        DWORD rate;
        speed_t speed;
    } kRates[] = {
        {50, B50},           {75, B75},           {110, B110},         {134, B134},         {150, B150},
        {200, B200},         {300, B300},         {600, B600},         {1200, B1200},       {1800, B1800},
        {2400, B2400},       {4800, B4800},       {9600, B9600},       {19200, B19200},     {38400, B38400},
        {57600, B57600},     {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
        {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000}, {1500000, B1500000},
        {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000}, {3500000, B3500000}, {4000000, B4000000},
    };
    for (const auto& r : kRates)
        if (r.rate == nRate)
            return r.speed;
    return B0;
}

// Raises or lowers one modem line. Pseudo-terminals and some adapters have
// none; that is not a failure of the settings.
void SetModemLine(int hPort, int nLine, bool bOn)
{
    ::ioctl(hPort, bOn ? TIOCMBIS : TIOCMBIC, &nLine);
}

// Splits "9600, n, 8, 1" into trimmed fields.
bool SplitFields(const char* pszText, CString (&fields)[5], int& nFields)
{
    CString text(pszText);
    // A leading port name ("COM1: 9600,n,8,1") names nothing we use.
    if (const int colon = text.Find(':'); colon >= 0)
        text = text.Mid(colon + 1);
    nFields = 0;
    int start = 0;
    while (true) {
        const int comma = text.Find(',', start);
        CString field = comma < 0 ? text.Mid(start) : text.Mid(start, comma - start);
        if (nFields == 5)
            return false;
        fields[nFields++] = field.Trim();
        if (comma < 0)
            return true;
        start = comma + 1;
    }
}

bool ParseRate(const CString& field, DWORD& nRate)
{
    if (field.IsEmpty() || field.GetLength() > 10)
        return false;
    unsigned long long value = 0;
    for (int i = 0; i < field.GetLength(); ++i) {
        if (!std::isdigit(static_cast<unsigned char>(field[i])))
            return false;
        value = value * 10 + static_cast<unsigned>(field[i] - '0');
    }
    if (value == 0 || value > 0xFFFFFFFFull)
        return false;
    nRate = static_cast<DWORD>(value);
    return true;
}

} // namespace

namespace SerialLine {

CString MapPortName(const CString& name)
{
    CString trimmed(name);
    trimmed.Trim();
    if (trimmed.IsEmpty() || trimmed.Find('/') >= 0)
        return trimmed;
    CString upper(trimmed);
    upper.MakeUpper();
    if (upper.Left(4) == "\\\\.\\")
        upper = upper.Mid(4);
    if (upper.Right(1) == ":")
        upper = upper.Left(upper.GetLength() - 1);
    if (upper.Left(3) == "COM" && upper.GetLength() > 3 && upper.GetLength() <= 6) {
        const CString digits = upper.Mid(3);
        bool bDigits = digits[0] != '0';
        for (int i = 0; i < digits.GetLength(); ++i)
            bDigits = bDigits && std::isdigit(static_cast<unsigned char>(digits[i]));
        if (bDigits) {
            CString path;
            path.Format("/dev/ttyS%d", std::atoi(digits) - 1);
            return path;
        }
    }
    return CString("/dev/") + trimmed;
}

int Open(const CString& path)
{
    if (path.IsEmpty()) {
        errno = ENOENT;
        return INVALID_PORT_HANDLE;
    }
    // Non-blocking so that a line without carrier cannot hold the open up;
    // reads and writes wait through poll instead.
    const int hPort = ::open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (hPort < 0)
        return INVALID_PORT_HANDLE;
    const auto fail = [hPort](int nError) {
        ::close(hPort);
        errno = nError;
        return INVALID_PORT_HANDLE;
    };
    if (!::isatty(hPort))
        return fail(ENOTTY);
    // The advisory lock keeps other zflash processes out even where the
    // exclusive flag does not (it does not stop a privileged opener).
    if (::flock(hPort, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK)
        return fail(EBUSY);
    ::ioctl(hPort, TIOCEXCL);
    termios t{};
    if (::tcgetattr(hPort, &t) != 0)
        return fail(errno);
    MakeTransparent(t);
    if (::tcsetattr(hPort, TCSANOW, &t) != 0)
        return fail(errno);
    {
        TimeoutTable& table = Timeouts();
        std::lock_guard lock(table.mutex);
        table.records[hPort] = COMMTIMEOUTS{};
    }
    return hPort;
}

void Close(int hPort)
{
    if (hPort < 0)
        return;
    {
        TimeoutTable& table = Timeouts();
        std::lock_guard lock(table.mutex);
        table.records.erase(hPort);
        table.byteNs.erase(hPort);
    }
    // The exclusive flag belongs to the device and would outlive us if
    // another handle kept it open.
    ::ioctl(hPort, TIOCNXCL);
    ::close(hPort);
}

bool BuildDCB(const char* pszText, DCB& dcb)
{
    CString fields[5];
    int nFields = 0;
    DWORD nRate = 0;
    if (!pszText || !SplitFields(pszText, fields, nFields) || !ParseRate(fields[0], nRate)) {
        errno = EINVAL;
        return false;
    }
    DCB built = dcb;
    built.BaudRate = nRate;
    built.fBinary = 1;
    built.Parity = NOPARITY;
    built.ByteSize = 8;
    built.StopBits = ONESTOPBIT;
    built.fOutX = built.fInX = 0;
    built.fOutxCtsFlow = built.fOutxDsrFlow = 0;
    built.fDtrControl = DTR_CONTROL_ENABLE;
    built.fRtsControl = RTS_CONTROL_ENABLE;

    bool bValid = true;
    if (nFields > 1 && !fields[1].IsEmpty()) {
        CString p(fields[1]);
        p.MakeLower();
        static const char kParities[] = "noems"; // index order of the parity values
        const char* found = p.GetLength() == 1 ? std::strchr(kParities, p[0]) : nullptr;
        bValid = found != nullptr;
        if (found)
            built.Parity = static_cast<BYTE>(found - kParities);
        built.fParity = built.Parity != NOPARITY;
    }
    if (bValid && nFields > 2 && !fields[2].IsEmpty()) {
        const CString& d = fields[2];
        bValid = d.GetLength() == 1 && d[0] >= '5' && d[0] <= '8';
        built.ByteSize = static_cast<BYTE>(d[0] - '0');
    }
    if (bValid && nFields > 3 && !fields[3].IsEmpty()) {
        const CString& s = fields[3];
        bValid = s == "1" || s == "1.5" || s == "2";
        built.StopBits = s == "1" ? ONESTOPBIT : s == "2" ? TWOSTOPBITS : ONE5STOPBITS;
    }
    if (bValid && nFields > 4 && !fields[4].IsEmpty()) {
        CString f(fields[4]);
        f.MakeLower();
        if (f == "x") {
            built.fOutX = built.fInX = 1;
        } else if (f == "p") {
            built.fOutxCtsFlow = built.fOutxDsrFlow = 1;
            built.fDtrControl = DTR_CONTROL_HANDSHAKE;
            built.fRtsControl = RTS_CONTROL_HANDSHAKE;
        } else {
            bValid = false;
        }
    }
    if (!bValid) {
        errno = EINVAL;
        return false;
    }
    dcb = built;
    return true;
}

bool SetState(int hPort, const DCB& dcb)
{
    if (dcb.BaudRate == 0 || dcb.ByteSize < 5 || dcb.ByteSize > 8 || dcb.Parity > SPACEPARITY ||
        dcb.StopBits > TWOSTOPBITS) {
        errno = EINVAL;
        return false;
    }
    termios t{};
    if (::tcgetattr(hPort, &t) != 0)
        return false;
    MakeTransparent(t);

    static const tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
    t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    t.c_cflag |= kSizes[dcb.ByteSize - 5];
    switch (dcb.Parity) {
    case ODDPARITY: t.c_cflag |= PARENB | PARODD; break;
    case EVENPARITY: t.c_cflag |= PARENB; break;
    case MARKPARITY: t.c_cflag |= PARENB | PARODD | CMSPAR; break;
    case SPACEPARITY: t.c_cflag |= PARENB | CMSPAR; break;
    default: break;
    }
    if (dcb.StopBits != ONESTOPBIT)
        t.c_cflag |= CSTOPB; // the line has no one-and-a-half: two is the nearest
    if (dcb.fOutxCtsFlow || dcb.fRtsControl == RTS_CONTROL_HANDSHAKE)
        t.c_cflag |= CRTSCTS;

    t.c_iflag &= ~static_cast<tcflag_t>(INPCK | IXON | IXOFF | IXANY);
    if (dcb.fParity)
        t.c_iflag |= INPCK;
    if (dcb.fOutX)
        t.c_iflag |= IXON;
    if (dcb.fInX)
        t.c_iflag |= IXOFF;

    const speed_t speed = StandardSpeed(dcb.BaudRate);
    if (speed != B0 && (::cfsetispeed(&t, speed) != 0 || ::cfsetospeed(&t, speed) != 0))
        return false;
    if (::tcsetattr(hPort, TCSANOW, &t) != 0)
        return false;
    if (speed == B0 && !SetCustomRate(hPort, dcb.BaudRate))
        return false;

    {
        const unsigned bits = 2u + dcb.ByteSize + (dcb.Parity != NOPARITY) + (dcb.StopBits != ONESTOPBIT);
        TimeoutTable& table = Timeouts();
        std::lock_guard lock(table.mutex);
        table.byteNs[hPort] = (bits * 1000000000ull + dcb.BaudRate - 1) / dcb.BaudRate;
    }
    SetModemLine(hPort, TIOCM_DTR, dcb.fDtrControl != DTR_CONTROL_DISABLE);
    SetModemLine(hPort, TIOCM_RTS, dcb.fRtsControl != RTS_CONTROL_DISABLE);
    return true;
}

bool GetTimeouts(int hPort, COMMTIMEOUTS& timeouts)
{
    TimeoutTable& table = Timeouts();
    std::lock_guard lock(table.mutex);
    const auto it = table.records.find(hPort);
    if (it == table.records.end()) {
        errno = EBADF;
        return false;
    }
    timeouts = it->second;
    return true;
}

bool SetTimeouts(int hPort, const COMMTIMEOUTS& timeouts)
{
    TimeoutTable& table = Timeouts();
    std::lock_guard lock(table.mutex);
    const auto it = table.records.find(hPort);
    if (it == table.records.end()) {
        errno = EBADF;
        return false;
    }
    it->second = timeouts;
    return true;
}

bool Purge(int hPort)
{
    return ::tcflush(hPort, TCIOFLUSH) == 0;
}

bool PurgeInput(int hPort)
{
    return ::tcflush(hPort, TCIFLUSH) == 0;
}

unsigned long long ByteTimeNs(int hPort)
{
    TimeoutTable& table = Timeouts();
    std::lock_guard lock(table.mutex);
    const auto it = table.byteNs.find(hPort);
    return it == table.byteNs.end() ? 0 : it->second;
}

bool SetLowLatency(int hPort)
{
    serial_struct ss{};
    if (::ioctl(hPort, TIOCGSERIAL, &ss) != 0)
        return false;
    if (ss.flags & ASYNC_LOW_LATENCY)
        return true;
    ss.flags |= ASYNC_LOW_LATENCY;
    return ::ioctl(hPort, TIOCSSERIAL, &ss) == 0;
}

bool Read(int hPort, void* pBuffer, DWORD nCount, DWORD& nRead, DWORD nDelayMs)
{
    // The sleep below ends when the last byte is due; the default timer slack
    // (up to 50 us) would delay each answer that follows a chunk: nearly 2
    // percent of a classic 32-byte read chunk at 115200 bit/s.
    static thread_local const bool s_bTightTimers = ::prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0) == 0;
    (void)s_bTightTimers;
    nRead = 0;
    COMMTIMEOUTS to{};
    if (!GetTimeouts(hPort, to))
        return false;
    const bool bAtOnce = to.ReadIntervalTimeout == MAXDWORD && to.ReadTotalTimeoutMultiplier == 0 &&
                         to.ReadTotalTimeoutConstant == 0;
    const unsigned long long nTotal =
        static_cast<unsigned long long>(to.ReadTotalTimeoutMultiplier) * nCount + to.ReadTotalTimeoutConstant;
    const bool bInterval = to.ReadIntervalTimeout != 0 && to.ReadIntervalTimeout != MAXDWORD;
    const auto start = Clock::now();
    const auto deadline = start + std::chrono::milliseconds(nTotal + nDelayMs);
    auto lastByte = start;
    const unsigned long long byteNs = ByteTimeNs(hPort);

    auto* p = static_cast<unsigned char*>(pBuffer);
    bool bGotSome = false;
    while (nRead < nCount) {
        const ssize_t n = ::read(hPort, p + nRead, nCount - nRead);
        if (n > 0) {
            nRead += static_cast<DWORD>(n);
            lastByte = Clock::now();
            bGotSome = true;
            continue;
        }
        if (n == 0) {
            // End of file on a terminal: the other end has hung up.
            errno = EIO;
            return false;
        }
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN)
            return false;
        if (bAtOnce)
            return true;
        if (bGotSome && byteNs > 0 && nCount - nRead > 1) {
            // The rest is on its way: let it gather instead of waking for each byte.
            bGotSome = false;
            auto until = lastByte + std::chrono::nanoseconds(byteNs * (nCount - nRead - 1));
            if (nTotal > 0)
                until = std::min(until, deadline);
            if (bInterval)
                until = std::min(until, lastByte + std::chrono::milliseconds(to.ReadIntervalTimeout));
            const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(until - Clock::now()).count();
            if (left > 0) {
                const timespec ts{static_cast<time_t>(left / 1000000000LL), static_cast<long>(left % 1000000000LL)};
                ::nanosleep(&ts, nullptr);
                continue;
            }
        }

        int nWait = -1;
        if (nTotal > 0)
            nWait = MillisecondsUntil(deadline);
        if (bInterval && nRead > 0) {
            const int nGap = MillisecondsUntil(lastByte + std::chrono::milliseconds(to.ReadIntervalTimeout));
            nWait = nWait < 0 ? nGap : std::min(nWait, nGap);
        }
        if (nWait == 0)
            return true;
        pollfd pfd{hPort, POLLIN, 0};
        if (::poll(&pfd, 1, nWait) < 0 && errno != EINTR)
            return false;
        if (pfd.revents & POLLNVAL) {
            errno = EBADF;
            return false;
        }
    }
    return true;
}

bool Write(int hPort, const void* pBuffer, DWORD nCount, DWORD& nWritten)
{
    nWritten = 0;
    COMMTIMEOUTS to{};
    if (!GetTimeouts(hPort, to))
        return false;
    const unsigned long long nTotal =
        static_cast<unsigned long long>(to.WriteTotalTimeoutMultiplier) * nCount + to.WriteTotalTimeoutConstant;
    const auto deadline = Clock::now() + std::chrono::milliseconds(nTotal);
    const auto* p = static_cast<const unsigned char*>(pBuffer);
    while (nWritten < nCount) {
        const ssize_t n = ::write(hPort, p + nWritten, nCount - nWritten);
        if (n > 0) {
            nWritten += static_cast<DWORD>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN)
            return false;
        const int nWait = nTotal > 0 ? MillisecondsUntil(deadline) : -1;
        if (nWait == 0)
            return true;
        pollfd pfd{hPort, POLLOUT, 0};
        if (::poll(&pfd, 1, nWait) < 0 && errno != EINTR)
            return false;
        if (pfd.revents & POLLNVAL) {
            errno = EBADF;
            return false;
        }
    }
    return true;
}

CString SerialGroupOf(const CString& path)
{
    struct stat st{};
    if (::stat(path, &st) == 0 && st.st_gid != 0) {
        group grp{};
        group* found = nullptr;
        char buf[1024];
        if (::getgrgid_r(st.st_gid, &grp, buf, sizeof buf, &found) == 0 && found && found->gr_name)
            return found->gr_name;
    }
    return "dialout";
}

CString DescribeOpenFailure(const CString& name, const CString& path, int nError)
{
    CString text;
    text.Format("Unable to open serial port '%s'", name.GetString());
    if (!path.IsEmpty() && path != name)
        text.AppendFormat(" (%s)", path.GetString());
    if (name.IsEmpty() && path.IsEmpty())
        return text + ": no port name was given";
    if (nError == ENOTTY)
        text += ": not a serial port or terminal";
    text.AppendFormat(nError == ENOTTY ? " (%s)" : ": %s", std::strerror(nError));
    if (nError == EACCES || nError == EPERM) {
        const CString group = SerialGroupOf(path);
        text.AppendFormat(". Serial ports may be opened by members of the '%s' group: add your user to it"
                          " (sudo usermod -a -G %s $USER) and log in again",
                          group.GetString(), group.GetString());
    } else if (nError == ENOENT && path != name && path.Left(9) == "/dev/ttyS") {
        text += ". COM names stand for the built-in ports; give the device path of others, such as /dev/ttyUSB0";
    }
    return text;
}

} // namespace SerialLine
