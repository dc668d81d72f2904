#include "UiHost.h"

#include <cstring>

namespace {
struct SAnswerName
{
    const char* pszName;
    eQueryType answer;
};
constexpr SAnswerName kAnswers[] = {{"yes", qtYes},     {"no", qtNo},       {"cancel", qtCancel}, {"abort", qtAbort},
                                    {"retry", qtRetry}, {"ignore", qtIgnore}, {"ok", qtOK}};

bool Fits(eQueryType style, eQueryType answer)
{
    switch (style) {
    case qtYesNo: return answer == qtYes || answer == qtNo;
    case qtYesNoCancel: return answer == qtYes || answer == qtNo || answer == qtCancel;
    case qtAbortRetryIgnore: return answer == qtAbort || answer == qtRetry || answer == qtIgnore;
    default: return answer == qtOK;
    }
}
} // namespace

const char* CUiHost::StyleName(eQueryType style)
{
    switch (style) {
    case qtYesNo: return "yes-no";
    case qtYesNoCancel: return "yes-no-cancel";
    case qtAbortRetryIgnore: return "abort-retry-ignore";
    default: return "notice";
    }
}

eQueryType CUiHost::SafeAnswer(eQueryType style)
{
    switch (style) {
    case qtYesNo: return qtNo;
    case qtYesNoCancel: return qtCancel;
    case qtAbortRetryIgnore: return qtAbort;
    default: return qtOK;
    }
}

eQueryType CUiHost::MessageBox(const CString& text, eQueryType style, eMessageIcon icon)
{
    if (style != qtYesNo && style != qtYesNoCancel && style != qtAbortRetryIgnore) {
        // A notice needs no answer: the operation goes on while the page shows it.
        m_events.Publish({{"event", "notice"}, {"text", text.GetString()}, {"error", icon == miError}});
        return qtOK;
    }
    std::unique_lock lock(m_mutex);
    if (m_bCancelling)
        return SafeAnswer(style);
    const int id = ++m_nNext;
    m_Waiting[id] = {style, qtOK};
    m_events.Publish({{"event", "question"}, {"id", id}, {"text", text.GetString()}, {"style", StyleName(style)}});
    m_cv.wait(lock, [&] { return m_Waiting[id].second != qtOK || m_bCancelling; });
    const eQueryType answer = m_Waiting[id].second != qtOK ? m_Waiting[id].second : SafeAnswer(style);
    m_Waiting.erase(id);
    lock.unlock();
    m_events.Publish({{"event", "answered"}, {"id", id}});
    return answer;
}

bool CUiHost::Answer(int nQuestion, const std::string& answer)
{
    eQueryType value = qtOK;
    for (const SAnswerName& a : kAnswers)
        if (answer == a.pszName)
            value = a.answer;
    std::lock_guard lock(m_mutex);
    auto it = m_Waiting.find(nQuestion);
    if (it == m_Waiting.end() || it->second.second != qtOK || value == qtOK || !Fits(it->second.first, value))
        return false;
    it->second.second = value;
    m_cv.notify_all();
    return true;
}

void CUiHost::CancelQuestions()
{
    std::lock_guard lock(m_mutex);
    m_bCancelling = true;
    m_cv.notify_all();
}

int CUiHost::PendingQuestion() const
{
    std::lock_guard lock(m_mutex);
    for (const auto& [id, entry] : m_Waiting)
        if (entry.second == qtOK)
            return id;
    return 0;
}

void CUiHost::ShowStatus(eStatusKind kind, const CString& text, WORD nID)
{
    if (m_Listener)
        m_Listener(kind, text.GetString());
    m_events.Publish({{"event", "message"}, {"kind", StatusKindName(kind)}, {"text", text.GetString()}, {"id", nID}});
}

LRESULT CUiWindow::WindowProc(UINT message, WPARAM, LPARAM lParam)
{
    if (m_Handler)
        m_Handler(message, lParam);
    return 0;
}
