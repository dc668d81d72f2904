#include "ProgressMeter.h"

#include "platform/StatusUpdate.h"

CProgressMeter::CProgressMeter(CStatusUpdate& sink, CConsole& console, int nIntervalMs)
    : m_sink(sink), m_console(console), m_nIntervalMs(nIntervalMs), m_since(std::chrono::steady_clock::now())
{
    if (nIntervalMs > 0)
        m_thread = std::thread([this] { Run(); });
}

CProgressMeter::~CProgressMeter()
{
    Stop();
}

void CProgressMeter::Sample()
{
    SProgressState state;
    state.text = m_sink.GetProgressString().GetString();
    DWORD low = 0, high = 0;
    m_sink.GetProgressRange(low, high);
    state.low = low;
    state.high = high;
    state.position = m_sink.GetProgress().load();
    const auto now = std::chrono::steady_clock::now();
    if (state.text != m_strText) {
        m_strText = state.text;
        m_since = now;
    }
    m_console.Progress(state, std::chrono::duration<double>(now - m_since).count());
}

void CProgressMeter::Run()
{
    std::unique_lock lock(m_mutex);
    while (!m_bStop) {
        lock.unlock();
        Sample();
        lock.lock();
        m_wake.wait_for(lock, std::chrono::milliseconds(m_nIntervalMs), [this] { return m_bStop; });
    }
}

void CProgressMeter::Stop()
{
    {
        std::lock_guard lock(m_mutex);
        if (m_bStop)
            return;
        m_bStop = true;
    }
    m_wake.notify_all();
    if (m_thread.joinable())
        m_thread.join();
    // Where the step ended is always shown, however short it was.
    Sample();
    m_console.EndProgress();
}
