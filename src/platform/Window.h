#pragma once
// An owner window: a message queue served by its own thread. PostMessage
// queues and returns at once; SendMessage waits until the handler has run
// (called from the window's own thread it runs the handler directly).
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

#include "platform/Types.h"

class CWnd
{
public:
    CWnd() = default;
    CWnd(const CWnd&) = delete;
    CWnd& operator=(const CWnd&) = delete;
    // Subclasses with a WindowProc must call DestroyWindow in their own destructor.
    virtual ~CWnd();

    // False once the window is destroyed.
    bool PostMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0);
    // 0 once the window is destroyed.
    LRESULT SendMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0);

    // Handles what is queued, then stops the window's thread. Idempotent.
    void DestroyWindow();
    // Waits until every message posted so far has been handled.
    void Flush();

protected:
    virtual LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam);

private:
    struct Item
    {
        UINT message;
        WPARAM wParam;
        LPARAM lParam;
        std::function<void(LRESULT)> done;
    };
    bool Enqueue(Item item);
    void Run();

    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::deque<Item> m_queue;
    std::thread m_thread;
    unsigned m_nBusy = 0;
    bool m_bStopping = false;
    bool m_bDestroyed = false;
};
