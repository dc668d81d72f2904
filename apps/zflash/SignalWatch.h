#pragma once
// Ctrl-C and SIGTERM, taken by one thread of their own: the first asks the
// running operation to cancel (the library then releases the line and the
// tool exits with its cancel code); a second one ends the process at once.
#include <atomic>
#include <functional>
#include <thread>

class CSignalWatch
{
public:
    // Call before any other thread starts: the signals are blocked in every thread.
    static void BlockSignals();

    explicit CSignalWatch(std::function<void()> onCancel, std::function<void()> onSecond = {});
    ~CSignalWatch();
    CSignalWatch(const CSignalWatch&) = delete;
    CSignalWatch& operator=(const CSignalWatch&) = delete;

    bool WasSignalled() const { return m_nCount.load() > 0; }

private:
    void Run();

    std::function<void()> m_onCancel;
    std::function<void()> m_onSecond;
    std::atomic<int> m_nCount{0};
    std::atomic<bool> m_bStop{false};
    int m_nStopFd = -1;
    std::thread m_thread; // last: it starts once the rest is ready
};
