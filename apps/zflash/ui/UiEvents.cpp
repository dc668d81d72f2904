#include "UiEvents.h"

#include <chrono>

void CUiEventHub::Publish(nlohmann::json event)
{
    std::lock_guard lock(m_mutex);
    event["seq"] = ++m_nSeq;
    m_Events.push_back({m_nSeq, event.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace)});
    if (m_Events.size() > kKept)
        m_Events.pop_front();
    m_cv.notify_all();
}

std::vector<SUiEvent> CUiEventHub::Wait(std::uint64_t nAfter, int nWaitMs)
{
    std::unique_lock lock(m_mutex);
    m_cv.wait_for(lock, std::chrono::milliseconds(nWaitMs), [&] { return m_bClosed || m_nSeq > nAfter; });
    std::vector<SUiEvent> out;
    if (m_bClosed)
        return out;
    for (const SUiEvent& e : m_Events)
        if (e.nSeq > nAfter)
            out.push_back(e);
    return out;
}

std::uint64_t CUiEventHub::LastSeq() const
{
    std::lock_guard lock(m_mutex);
    return m_nSeq;
}

void CUiEventHub::Close()
{
    std::lock_guard lock(m_mutex);
    m_bClosed = true;
    m_cv.notify_all();
}

bool CUiEventHub::IsClosed() const
{
    std::lock_guard lock(m_mutex);
    return m_bClosed;
}
