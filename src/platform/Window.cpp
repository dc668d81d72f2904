#include "platform/Window.h"

#include <future>

CWnd::~CWnd()
{
    DestroyWindow();
}

LRESULT CWnd::WindowProc(UINT, WPARAM, LPARAM)
{
    return 0;
}

bool CWnd::Enqueue(Item item)
{
    std::lock_guard lock(m_mutex);
    if (m_bStopping || m_bDestroyed)
        return false;
    if (!m_thread.joinable())
        m_thread = std::thread([this] { Run(); });
    m_queue.push_back(std::move(item));
    m_cv.notify_all();
    return true;
}

bool CWnd::PostMessage(UINT message, WPARAM wParam, LPARAM lParam)
{
    return Enqueue({message, wParam, lParam, {}});
}

LRESULT CWnd::SendMessage(UINT message, WPARAM wParam, LPARAM lParam)
{
    {
        std::lock_guard lock(m_mutex);
        if (m_bDestroyed)
            return 0;
        if (m_thread.joinable() && m_thread.get_id() == std::this_thread::get_id())
            return WindowProc(message, wParam, lParam);
    }
    std::promise<LRESULT> result;
    auto future = result.get_future();
    if (!Enqueue({message, wParam, lParam, [&result](LRESULT r) { result.set_value(r); }}))
        return 0;
    return future.get();
}

void CWnd::Run()
{
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_cv.wait(lock, [this] { return !m_queue.empty() || m_bStopping; });
        if (m_queue.empty())
            break;
        Item item = std::move(m_queue.front());
        m_queue.pop_front();
        ++m_nBusy;
        lock.unlock();
        const LRESULT r = WindowProc(item.message, item.wParam, item.lParam);
        if (item.done)
            item.done(r);
        lock.lock();
        --m_nBusy;
        m_cv.notify_all();
    }
}

void CWnd::Flush()
{
    std::unique_lock lock(m_mutex);
    if (m_thread.joinable() && m_thread.get_id() == std::this_thread::get_id())
        return;
    m_cv.wait(lock, [this] { return (m_queue.empty() && m_nBusy == 0) || !m_thread.joinable(); });
}

void CWnd::DestroyWindow()
{
    std::thread worker;
    {
        std::lock_guard lock(m_mutex);
        if (m_bDestroyed)
            return;
        m_bStopping = true;
        m_cv.notify_all();
        worker = std::move(m_thread);
    }
    if (worker.joinable()) {
        if (worker.get_id() == std::this_thread::get_id())
            worker.detach(); // destroyed from its own handler: the loop ends after this message
        else
            worker.join();
    }
    std::lock_guard lock(m_mutex);
    m_bDestroyed = true;
}
