#pragma once
// The browser as the library's host: every message that reaches the end of a
// status chain becomes an event, and a question from the library waits for
// the page's answer (or for Cancel) on the thread that asked it.
#include <atomic>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <string>

#include "UiEvents.h"
#include "platform/HostUI.h"
#include "platform/Window.h"

class CUiHost : public CHostUI
{
public:
    using Listener = std::function<void(eStatusKind kind, const std::string& text)>;

    explicit CUiHost(CUiEventHub& events) : m_events(events) {}

    eQueryType MessageBox(const CString& text, eQueryType style, eMessageIcon icon = miNone) override;
    void ShowStatus(eStatusKind kind, const CString& text, WORD nID) override;

    // Every message also goes here (set before any operation runs).
    void SetListener(Listener listener) { m_Listener = std::move(listener); }
    // The page's answer by name ("yes", "no", "cancel", "abort", "retry",
    // "ignore", "ok"); false when no such question waits or the name does
    // not fit its buttons.
    bool Answer(int nQuestion, const std::string& answer);
    // Questions waiting now and any asked until Resume get the answer that changes nothing.
    void CancelQuestions();
    void Resume() { m_bCancelling = false; }
    // The question waiting, or 0.
    int PendingQuestion() const;

    static const char* StyleName(eQueryType style);
    // The answer that changes nothing for a style.
    static eQueryType SafeAnswer(eQueryType style);

private:
    CUiEventHub& m_events;
    Listener m_Listener;
    mutable std::mutex m_mutex;
    std::condition_variable m_cv;
    // Question number → answer (qtOK while none yet).
    std::map<int, std::pair<eQueryType, eQueryType>> m_Waiting; // style, answer
    int m_nNext = 0;
    std::atomic<bool> m_bCancelling{false};
};

// The owner window of the queued operations: its messages go to a handler
// on the window's own thread.
class CUiWindow : public CWnd
{
public:
    using Handler = std::function<void(UINT message, LPARAM lParam)>;
    explicit CUiWindow(Handler handler) : m_Handler(std::move(handler)) {}
    ~CUiWindow() override { DestroyWindow(); }

protected:
    LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override;

private:
    Handler m_Handler;
};
