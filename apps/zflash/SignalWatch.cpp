#include "SignalWatch.h"

#include <csignal>
#include <ctime>
#include <pthread.h>

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
    : m_onCancel(std::move(onCancel)), m_onSecond(std::move(onSecond)), m_thread([this] { Run(); })
{
}

CSignalWatch::~CSignalWatch()
{
    m_bStop = true;
    m_thread.join();
}

void CSignalWatch::Run()
{
    const sigset_t set = Signals();
    while (!m_bStop) {
        // Short waits so that the destructor is never kept waiting.
        const timespec tick = {0, 50 * 1000 * 1000};
        const int sig = sigtimedwait(&set, nullptr, &tick);
        if (sig != SIGINT && sig != SIGTERM)
            continue;
        if (m_nCount.fetch_add(1) == 0) {
            if (m_onCancel)
                m_onCancel();
        } else if (m_onSecond) {
            m_onSecond();
        }
    }
}
