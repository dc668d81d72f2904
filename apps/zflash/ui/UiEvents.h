#pragma once
// The events the page hears: window notifications, messages, progress and
// questions, numbered so that a page that reconnects misses none.
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

struct SUiEvent
{
    std::uint64_t nSeq;
    std::string strJson;
};

class CUiEventHub
{
public:
    // Adds "seq" to the event and wakes every waiting reader.
    void Publish(nlohmann::json event);
    // Events after nAfter; waits up to nWaitMs for the first one. Empty on
    // time-out or once Close has been called.
    std::vector<SUiEvent> Wait(std::uint64_t nAfter, int nWaitMs);
    std::uint64_t LastSeq() const;
    // Readers stop waiting (the server is going down).
    void Close();
    bool IsClosed() const;

private:
    // Enough for a page that was away for a moment; older events are gone.
    static constexpr std::size_t kKept = 4096;

    mutable std::mutex m_mutex;
    std::condition_variable m_cv;
    std::deque<SUiEvent> m_Events;
    std::uint64_t m_nSeq = 0;
    bool m_bClosed = false;
};
