#include "SignalWatch.h"

#include <csignal>
#include <cstdint>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

namespace {
sigset_t Signals()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}
} // namespace

void CSignalWatch::BlockSignals()
{
    const sigset_t set = Signals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

CSignalWatch::CSignalWatch(std::function<void()> onCancel, std::function<void()> onSecond)
    : m_onCancel(std::move(onCancel)), m_onSecond(std::move(onSecond)),
      m_nStopFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)), m_thread([this] { Run(); })
{
}

CSignalWatch::~CSignalWatch()
{
    m_bStop = true;
    // Wakes the watcher at once, so a command never waits for it at exit.
    if (m_nStopFd >= 0) {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(m_nStopFd, &one, sizeof one);
    }
    m_thread.join();
    if (m_nStopFd >= 0)
        ::close(m_nStopFd);
}

void CSignalWatch::Run()
{
    const sigset_t set = Signals();
    const int sigFd = ::signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
    while (!m_bStop) {
        int sig = 0;
        if (sigFd >= 0 && m_nStopFd >= 0) {
            pollfd fds[2] = {{sigFd, POLLIN, 0}, {m_nStopFd, POLLIN, 0}};
            if (::poll(fds, 2, -1) <= 0 || !(fds[0].revents & POLLIN))
                continue;
            signalfd_siginfo info{};
            if (::read(sigFd, &info, sizeof info) == static_cast<ssize_t>(sizeof info))
                sig = static_cast<int>(info.ssi_signo);
        } else {
            // Without descriptors to wait on, short waits keep the exit prompt enough.
            const timespec tick = {0, 50 * 1000 * 1000};
            sig = sigtimedwait(&set, nullptr, &tick);
        }
        if (sig != SIGINT && sig != SIGTERM)
            continue;
        if (m_nCount.fetch_add(1) == 0) {
            if (m_onCancel)
                m_onCancel();
        } else if (m_onSecond) {
            m_onSecond();
        }
    }
    if (sigFd >= 0)
        ::close(sigFd);
}
