#include "platform/HostUI.h"

#include <cstdio>

namespace {
std::atomic<CHostUI*> s_pInstalled{nullptr};

CHostUI& DefaultHost()
{
    static CHostUI s_default;
    return s_default;
}

const char* AnswerName(eQueryType a)
{
    switch (a) {
    case qtYes: return "Yes";
    case qtNo: return "No";
    case qtCancel: return "Cancel";
    case qtAbort: return "Abort";
    case qtIgnore: return "Ignore";
    case qtRetry: return "Retry";
    default: return "OK";
    }
}
} // namespace

const char* StatusKindName(eStatusKind kind)
{
    switch (kind) {
    case skProperties: return "properties";
    case skTask: return "task";
    case skMessage: return "message";
    case skSuccess: return "success";
    case skAdvanced: return "advanced";
    case skWarning: return "warning";
    case skError: return "error";
    }
    return "message";
}

CHostUI::CHostUI() = default;
CHostUI::~CHostUI() = default;

eQueryType CHostUI::MessageBox(const CString& text, eQueryType style, eMessageIcon)
{
    const eQueryType answer = GetDefaultAnswer(style);
    if (style == qtNotice)
        std::fprintf(stderr, "%s\n", text.GetString());
    else
        std::fprintf(stderr, "%s [answered %s]\n", text.GetString(), AnswerName(answer));
    return answer;
}

void CHostUI::SetStatusPane(int, const CString&) {}
void CHostUI::BeginWaitCursor() {}
void CHostUI::EndWaitCursor() {}
void CHostUI::OnPropertyChange(CStatusUpdate*) {}

void CHostUI::ShowStatus(eStatusKind kind, const CString& text, WORD)
{
    if (kind == skError)
        std::fprintf(stderr, "error: %s\n", text.GetString());
    else if (kind == skWarning)
        std::fprintf(stderr, "warning: %s\n", text.GetString());
    else if (kind != skProperties)
        std::fprintf(stderr, "%s\n", text.GetString());
}

void CHostUI::SetDefaultAnswer(eQueryType style, eQueryType answer)
{
    std::lock_guard lock(m_mutex);
    if (style == qtYesNo)
        m_yesNo = answer;
    else if (style == qtYesNoCancel)
        m_yesNoCancel = answer;
    else if (style == qtAbortRetryIgnore)
        m_abortRetryIgnore = answer;
}

eQueryType CHostUI::GetDefaultAnswer(eQueryType style) const
{
    std::lock_guard lock(m_mutex);
    switch (style) {
    case qtYesNo: return m_yesNo;
    case qtYesNoCancel: return m_yesNoCancel;
    case qtAbortRetryIgnore: return m_abortRetryIgnore;
    default: return qtOK;
    }
}

CHostUI& GetHostUI()
{
    CHostUI* p = s_pInstalled.load(std::memory_order_acquire);
    return p ? *p : DefaultHost();
}

void SetHostUI(CHostUI* pHost)
{
    s_pInstalled.store(pHost, std::memory_order_release);
}
