#include "sim/SimLine.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <thread>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <stdlib.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <termios.h>
#include <unistd.h>

#include "sim/SimBaud.h"
#include "sim/SimTermios.h"

namespace {
using Clock = std::chrono::steady_clock;

std::int64_t NowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch()).count();
}

void CloseFd(int& fd)
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}
} // namespace

CSimLine::CSimLine(CSimTranscript& transcript) : m_transcript(transcript) {}

CSimLine::~CSimLine()
{
    Close();
}

bool CSimLine::Open(CString* pError)
{
    Close();
    if (::openpty(&m_nMaster, &m_nSlave, nullptr, nullptr, nullptr) != 0) {
        if (pError)
            pError->Format("cannot create a pseudo-terminal: %s", std::strerror(errno));
        return false;
    }
    char name[PATH_MAX] = {};
    if (::ptsname_r(m_nMaster, name, sizeof name) != 0) {
        if (pError)
            pError->Format("cannot name the pseudo-terminal: %s", std::strerror(errno));
        Close();
        return false;
    }
    m_strSlavePath = name;
    // Raw 8-N-1 at 9600 until the host configures its end.
    struct termios t {};
    if (::tcgetattr(m_nSlave, &t) == 0) {
        ::cfmakeraw(&t);
        ::cfsetspeed(&t, B9600);
        ::tcsetattr(m_nSlave, TCSANOW, &t);
    }
    ::fcntl(m_nMaster, F_SETFL, ::fcntl(m_nMaster, F_GETFL) | O_NONBLOCK);
    ::fcntl(m_nMaster, F_SETFD, FD_CLOEXEC);
    ::fcntl(m_nSlave, F_SETFD, FD_CLOEXEC);
    m_nWake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (m_nWake < 0) {
        if (pError)
            pError->Format("cannot create an event: %s", std::strerror(errno));
        Close();
        return false;
    }
    m_dwObservedHostRate = ReadHostRate();
    m_Input.clear();
    m_nInputPos = 0;
    Touch();
    return true;
}

void CSimLine::Close()
{
    CloseFd(m_nMaster);
    CloseFd(m_nSlave);
    CloseFd(m_nWake);
}

CString CSimLine::GetSlavePath() const
{
    return m_strSlavePath;
}

DWORD CSimLine::ReadHostRate() const
{
    return m_nMaster >= 0 ? SimGetLineRate(m_nMaster) : 0;
}

void CSimLine::SetTargetRate(DWORD rate)
{
    if (m_dwTargetRate.exchange(rate) != rate) {
        CString text;
        text.Format("target line rate now %lu baud", static_cast<unsigned long>(rate));
        m_transcript.AddEvent(ekNote, m_ePhase, text);
    }
}

void CSimLine::SetFaults(const CSimFaults& faults)
{
    std::lock_guard lock(m_faultLock);
    m_Faults = faults;
    m_qwFaultHostCount = 0;
    m_qwFaultTargetCount = 0;
    m_bMute = false;
}

CSimLine::ByteFault CSimLine::NextFault(eSimDirection direction, eSimPhase phase, bool* pBecameMute)
{
    std::lock_guard lock(m_faultLock);
    ByteFault fault;
    const bool host = direction == sdHostToTarget;
    if (!host && m_bMute) {
        fault.flags = sfSuppressed;
        return fault;
    }
    if (m_Faults.m_eFaultPhase != phPhaseCount && m_Faults.m_eFaultPhase != phase)
        return fault;
    const std::uint64_t n = host ? ++m_qwFaultHostCount : ++m_qwFaultTargetCount;
    const CSimFaults& f = m_Faults;
    if (n == (host ? f.m_dwDropHostByte : f.m_dwDropTargetByte))
        fault.flags = sfDropped;
    else if (n == (host ? f.m_dwCorruptHostByte : f.m_dwCorruptTargetByte))
        fault.flags = sfCorrupted;
    fault.bDelay = n == (host ? f.m_dwDelayHostByte : f.m_dwDelayTargetByte);
    fault.bDuplicate = !fault.flags && n == (host ? f.m_dwDuplicateHostByte : f.m_dwDuplicateTargetByte);
    fault.delayMs = f.m_dwFaultDelay;
    if (host && !m_bMute && f.m_dwStopAfterHostBytes && n >= f.m_dwStopAfterHostBytes)
        *pBecameMute = m_bMute = true;
    return fault;
}

void CSimLine::Touch()
{
    m_qwLastActivity = NowMs();
}

std::uint64_t CSimLine::GetIdleMilliseconds() const
{
    const std::int64_t d = NowMs() - m_qwLastActivity.load();
    return d > 0 ? static_cast<std::uint64_t>(d) : 0;
}

bool CSimLine::IsQuiet(DWORD quietMs) const
{
    int unread = 0;
    return GetIdleMilliseconds() >= quietMs && IsWaitingForInput() &&
           (m_nMaster < 0 || (::ioctl(m_nMaster, FIONREAD, &unread) == 0 && unread == 0));
}

std::chrono::nanoseconds CSimLine::ByteTime(DWORD rate)
{
    return std::chrono::nanoseconds(rate ? (10000000000ull + rate - 1) / rate : 0);
}

bool CSimLine::Paced()
{
    const bool paced = m_bThrottle;
    if (paced && !m_bPacing)
        m_chipTime = m_rxEnd = m_txEnd = Clock::now();
    m_bPacing = paced;
    return paced;
}

void CSimLine::Observe(DWORD hostRate)
{
    if (m_dwObservedHostRate.exchange(hostRate) != hostRate) {
        CString text;
        text.Format("host line rate now %lu baud", static_cast<unsigned long>(hostRate));
        m_transcript.AddEvent(ekNote, m_ePhase, text);
    }
}

bool CSimLine::Pump(int waitMs)
{
    if (m_nMaster < 0)
        return false;
    pollfd fds[2] = {{m_nMaster, POLLIN, 0}, {m_nWake, POLLIN, 0}};
    m_bWaitingForInput = true;
    const int r = ::poll(fds, 2, waitMs);
    m_bWaitingForInput = false;
    const DWORD before = m_dwObservedHostRate.load();
    const DWORD now = ReadHostRate();
    if (r > 0 && !(fds[0].revents & POLLIN) && (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL))) {
        // A broken line must not turn the wait into a busy loop.
        pollfd wake = {m_nWake, POLLIN, 0};
        ::poll(&wake, 1, waitMs);
    }
    const bool got = r > 0 && (fds[0].revents & POLLIN) && ReadAvailable(before, now);
    Observe(now);
    return got;
}

bool CSimLine::ReadAvailable(DWORD before, DWORD now)
{
    if (m_nInputPos >= m_Input.size()) {
        m_Input.clear();
        m_nInputPos = 0;
    }
    BYTE buffer[4096];
    const ssize_t n = ::read(m_nMaster, buffer, sizeof buffer);
    if (n <= 0)
        return false;
    const auto written = Clock::now();
    for (ssize_t i = 0; i < n; ++i)
        m_Input.push_back(SInput{buffer[i], {before, now}, written});
    return true;
}

eSimLineResult CSimLine::Receive(BYTE* pByte, bool* pIntact, DWORD timeoutMs)
{
    const auto deadline = timeoutMs == INFINITE ? Clock::time_point::max()
                                                : Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (m_bInterrupted)
            return lrInterrupted;
        if (m_nInputPos >= m_Input.size() && TakeDebugByte(pByte)) {
            *pIntact = true;
            return lrByte;
        }
        if (m_nInputPos < m_Input.size()) {
            const eTaken taken = TakeHostByte(pByte, pIntact);
            if (taken == tkDropped)
                continue;
            return taken == tkByte ? lrByte : lrInterrupted;
        }
        if (!AwaitInput(deadline))
            return lrTimeout;
    }
}

CSimLine::eTaken CSimLine::TakeHostByte(BYTE* pByte, bool* pIntact)
{
    if (m_bAnswerDebug) {
        m_bAnswerDebug = false;
        m_transcript.AddEvent(ekNote, m_ePhase, "the chip answers on its serial line again");
    }
    const SInput in = m_Input[m_nInputPos++];
    const BYTE sent = in.m_byte;
    const DWORD target = m_dwTargetRate;
    const bool atOldRate = CSimBaud::RatesMatch(in.m_dwRates[0], target, m_dwTolerance);
    const bool intact = atOldRate || CSimBaud::RatesMatch(in.m_dwRates[1], target, m_dwTolerance);
    auto ended = Clock::now();
    if (Paced()) {
        // At the host's rate: the one that matched the chip's, else the latest.
        const DWORD sentAt = atOldRate ? in.m_dwRates[0] : in.m_dwRates[1] ? in.m_dwRates[1] : target;
        ended = m_rxEnd = std::max(in.m_written, m_rxEnd) + ByteTime(sentAt);
        if (!SleepUntil(ended))
            return tkInterrupted;
        m_chipTime = std::max(m_chipTime, ended);
    }
    ++m_qwHostBytesTaken;
    Touch();
    const eSimPhase phase = m_ePhase;
    bool becameMute = false;
    const ByteFault fault = NextFault(sdHostToTarget, phase, &becameMute);
    BYTE flags = fault.flags;
    if (fault.bDelay) {
        m_transcript.AddEvent(ekFault, phase, "a byte from the host is delayed");
        if (!Delay(fault.delayMs))
            return tkInterrupted;
    }
    if (fault.bDuplicate) {
        // The copy is the next byte to take.
        m_Input.insert(m_Input.begin() + static_cast<std::ptrdiff_t>(m_nInputPos), in);
        m_transcript.AddEvent(ekFault, phase, "a byte from the host arrives twice");
    }
    if (flags & sfDropped) {
        m_transcript.AddByte(sdHostToTarget, sent, sent, flags, phase, ended);
        m_transcript.AddEvent(ekFault, phase, "a byte from the host was dropped");
        return tkDropped;
    }
    BYTE seen = (flags & sfCorrupted) ? static_cast<BYTE>(sent ^ CSimFaults::kCorruptMask) : sent;
    if (!intact) {
        seen = CSimBaud::Garble(seen, in.m_dwRates[1], target);
        flags |= sfGarbled;
    }
    m_transcript.AddByte(sdHostToTarget, sent, seen, flags, phase, ended);
    if (flags & sfCorrupted)
        m_transcript.AddEvent(ekFault, phase, "a byte from the host was corrupted");
    if (becameMute)
        m_transcript.AddEvent(ekFault, phase, "the target stops answering");
    *pByte = seen;
    *pIntact = intact;
    return tkByte;
}

bool CSimLine::AwaitInput(Clock::time_point deadline)
{
    int wait = kRateWatchMs;
    if (deadline != Clock::time_point::max()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) {
            if (Pump(0))
                return true;
            if (m_bPacing)
                m_chipTime = std::max(m_chipTime, Clock::now());
            return false;
        }
        if (left < wait)
            wait = static_cast<int>(left);
    }
    Pump(wait);
    return true;
}

void CSimLine::SetDebugPort(std::shared_ptr<CSimDebugPort> port)
{
    std::lock_guard lock(m_debugLock);
    m_pDebugPort = std::move(port);
}

std::shared_ptr<CSimDebugPort> CSimLine::DebugPort()
{
    std::lock_guard lock(m_debugLock);
    return m_pDebugPort;
}

void CSimLine::EndHostField()
{
    if (!m_bAnswerDebug)
        return;
    if (const std::shared_ptr<CSimDebugPort> port = DebugPort())
        port->EndHostField();
}

void CSimLine::EndAnswer()
{
    if (!m_bAnswerDebug)
        return;
    if (const std::shared_ptr<CSimDebugPort> port = DebugPort())
        port->EndAnswer();
}

bool CSimLine::TakeDebugByte(BYTE* pByte)
{
    // Until a program that serves the debug interface runs, the host's words
    // wait in the adapter.
    if (!m_bDebugServed || m_ePhase == phHalted)
        return false;
    const std::shared_ptr<CSimDebugPort> port = DebugPort();
    if (!port || !port->Take(pByte))
        return false;
    if (!m_bAnswerDebug) {
        m_bAnswerDebug = true;
        m_transcript.AddEvent(ekNote, m_ePhase, "the chip answers through its debug interface");
    }
    ++m_qwHostBytesTaken;
    Touch();
    m_transcript.AddByte(sdHostToTarget, *pByte, *pByte, 0, m_ePhase);
    return true;
}

bool CSimLine::Send(BYTE byte)
{
    if (m_bInterrupted)
        return false;
    if (m_bAnswerDebug) {
        if (const std::shared_ptr<CSimDebugPort> port = DebugPort()) {
            m_transcript.AddByte(sdTargetToHost, byte, byte, 0, m_ePhase);
            ++m_qwTargetBytesSent;
            Touch();
            port->Give(byte);
            return true;
        }
    }
    const eSimPhase phase = m_ePhase;
    const ByteFault fault = NextFault(sdTargetToHost, phase, nullptr);
    BYTE flags = fault.flags;
    if (fault.bDelay) {
        m_transcript.AddEvent(ekFault, phase, "a byte from the target is delayed");
        if (!Delay(fault.delayMs))
            return false;
    }
    if (flags & (sfSuppressed | sfDropped)) {
        m_transcript.AddByte(sdTargetToHost, byte, byte, flags, phase);
        if (flags & sfDropped)
            m_transcript.AddEvent(ekFault, phase, "a byte from the target was dropped");
        return true;
    }
    BYTE wire = (flags & sfCorrupted) ? static_cast<BYTE>(byte ^ CSimFaults::kCorruptMask) : byte;
    const DWORD target = m_dwTargetRate;
    const DWORD host = ReadHostRate();
    if (!CSimBaud::RatesMatch(target, host, m_dwTolerance)) {
        wire = CSimBaud::Garble(wire, target, host);
        flags |= sfGarbled;
    }
    auto ended = Clock::now();
    if (Paced()) {
        // The chip's UART holds one byte: the next starts when this one has gone.
        ended = m_txEnd = m_chipTime = std::max(m_chipTime, m_txEnd) + ByteTime(target);
        if (!SleepUntil(ended))
            return false;
    }
    // Recorded before it is written, so whoever reads the reply finds it in the transcript.
    m_transcript.AddByte(sdTargetToHost, byte, wire, flags, phase, ended);
    if (flags & sfCorrupted)
        m_transcript.AddEvent(ekFault, phase, "a byte from the target was corrupted");
    ++m_qwTargetBytesSent;
    Touch();
    if (fault.bDuplicate) {
        m_transcript.AddByte(sdTargetToHost, byte, wire, flags, phase);
        m_transcript.AddEvent(ekFault, phase, "a byte from the target is sent twice");
        if (!WriteToHost(wire))
            return false;
    }
    return WriteToHost(wire);
}

bool CSimLine::WriteToHost(BYTE wire)
{
    for (;;) {
        const ssize_t n = ::write(m_nMaster, &wire, 1);
        if (n == 1)
            return true;
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN) {
            // The host is not reading and the pty is full: wait, like a UART
            // whose transmitter is held.
            pollfd fds[2] = {{m_nMaster, POLLOUT, 0}, {m_nWake, POLLIN, 0}};
            ::poll(fds, 2, 50);
            if (m_bInterrupted)
                return false;
            continue;
        }
        return true; // the line is gone; the byte is lost
    }
}

bool CSimLine::SleepUntil(Clock::time_point when)
{
    // Sub-millisecond waits must not stretch by the default timer slack.
    static thread_local const bool s_bTightTimers = ::prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0) == 0;
    (void)s_bTightTimers;
    // A processor left idle for a byte time at a slow rate wakes tens of
    // microseconds late, and at every turn of the line that lateness would
    // add to the host's wait: long sleeps end by watching the clock.
    const bool bSpinTail = m_bPacing && when - Clock::now() > kSpinAfter;
    for (;;) {
        if (m_bInterrupted)
            return false;
        auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(when - Clock::now()).count();
        if (left <= 0)
            return true;
        if (bSpinTail) {
            if (left <= kSpinTail.count()) {
                while (Clock::now() < when && !m_bInterrupted) {
                }
                return !m_bInterrupted;
            }
            left -= kSpinTail.count();
        }
        // Keeps taking in what the host writes meanwhile, so each byte's
        // schedule starts from when it was written, not from when it was looked at.
        const bool gather = m_bPacing && m_nMaster >= 0 && m_Input.size() - m_nInputPos < 65536;
        pollfd fds[2] = {{m_nWake, POLLIN, 0}, {m_nMaster, POLLIN, 0}};
        const long long slice = std::min<long long>(left, 100000000LL);
        const timespec ts{static_cast<time_t>(slice / 1000000000LL), static_cast<long>(slice % 1000000000LL)};
        const DWORD before = m_dwObservedHostRate.load();
        if (::ppoll(fds, gather ? 2 : 1, &ts, nullptr) > 0 && gather && (fds[1].revents & POLLIN)) {
            const DWORD now = ReadHostRate();
            ReadAvailable(before, now);
            Observe(now);
        }
    }
}

bool CSimLine::Delay(DWORD ms)
{
    if (!Paced())
        return SleepUntil(Clock::now() + std::chrono::milliseconds(ms));
    m_chipTime = std::max(m_chipTime, m_txEnd) + std::chrono::milliseconds(ms);
    return SleepUntil(m_chipTime);
}

void CSimLine::DiscardUntilInterrupted()
{
    std::size_t lost = 0;
    for (;;) {
        for (; m_nInputPos < m_Input.size(); ++m_nInputPos, ++lost) {
            ++m_qwHostBytesTaken;
            const BYTE lostByte = m_Input[m_nInputPos].m_byte;
            m_transcript.AddByte(sdHostToTarget, lostByte, lostByte, sfDropped, m_ePhase);
        }
        if (m_bInterrupted)
            break;
        Pump(50);
    }
    if (lost) {
        CString text;
        text.Format("%zu bytes sent to the chip without power were lost", lost);
        m_transcript.AddEvent(ekNote, m_ePhase, text);
    }
}

void CSimLine::Interrupt()
{
    m_bInterrupted = true;
    if (m_nWake >= 0) {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(m_nWake, &one, sizeof one);
    }
}

void CSimLine::ClearInterrupt()
{
    m_bInterrupted = false;
    m_bPacing = false; // a restarted chip starts a fresh schedule
    {
        std::lock_guard lock(m_debugLock);
        if (m_pDebugPort)
            m_pDebugPort->Restart();
    }
    m_bAnswerDebug = false;
    if (m_nWake >= 0) {
        std::uint64_t value = 0;
        [[maybe_unused]] const ssize_t n = ::read(m_nWake, &value, sizeof value);
    }
}
