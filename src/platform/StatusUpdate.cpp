#include "platform/StatusUpdate.h"

namespace {
// A sink attached in a circle would otherwise forward for ever.
constexpr int kMaxChain = 64;
thread_local int t_depth = 0;

struct DepthGuard
{
    DepthGuard() { ++t_depth; }
    ~DepthGuard() { --t_depth; }
    DepthGuard(const DepthGuard&) = delete;
    DepthGuard& operator=(const DepthGuard&) = delete;
};
} // namespace

CStatusUpdate::CStatusUpdate() = default;

CStatusUpdate::CStatusUpdate(const CStatusUpdate& other) : CObject(other)
{
    m_bAdvancedUser = other.m_bAdvancedUser.load();
}

CStatusUpdate& CStatusUpdate::operator=(const CStatusUpdate& other)
{
    // The attachment belongs to the object, not to its value.
    m_bAdvancedUser = other.m_bAdvancedUser.load();
    return *this;
}

CStatusUpdate::~CStatusUpdate() = default;

CStatusUpdate* CStatusUpdate::Next() const
{
    CStatusUpdate* p = m_pStatusUpdate.load(std::memory_order_acquire);
    return (p == this || t_depth >= kMaxChain) ? nullptr : p;
}

CStatusUpdate* CStatusUpdate::EndOfChain()
{
    CStatusUpdate* p = this;
    for (int i = 0; i < kMaxChain; ++i) {
        CStatusUpdate* next = p->m_pStatusUpdate.load(std::memory_order_acquire);
        if (!next || next == p)
            break;
        p = next;
    }
    return p;
}

CStatusUpdate* CStatusUpdate::SetStatusUpdate(CStatusUpdate* pTarget)
{
    CStatusUpdate* prev = m_pStatusUpdate.exchange(pTarget == this ? nullptr : pTarget);
    return prev ? prev : this;
}

CStatusForward::CStatusForward(CStatusUpdate* pPart, CStatusUpdate* pTarget, eForwardEnd rule)
    : m_pPart(pPart), m_rule(rule)
{
    if (m_pPart)
        m_pPrevious = m_pPart->SetStatusUpdate(pTarget);
}

void CStatusForward::End()
{
    if (m_pPart)
        m_pPart->SetStatusUpdate(m_rule == feRestore ? m_pPrevious : m_pPart);
    m_pPart = nullptr;
}

CStatusUpdate* CStatusUpdate::GetStatusUpdate() const
{
    CStatusUpdate* p = m_pStatusUpdate.load();
    return p ? p : const_cast<CStatusUpdate*>(this);
}

CString CStatusUpdate::ResolveText(const CString& text, WORD nID)
{
    CString resolved = text;
    if (resolved.IsEmpty() && nID != 0)
        resolved.LoadString(nID);
    return resolved;
}

void CStatusUpdate::Show(eStatusKind kind, const CString& text, WORD nID)
{
    GetHostUI().ShowStatus(kind, ResolveText(text, nID), nID);
}

#define ZF_FORWARD_OR_SHOW(Method, kind)                    \
    void CStatusUpdate::Method(const CString& text, WORD nID) \
    {                                                        \
        if (CStatusUpdate* next = Next()) {                  \
            DepthGuard guard;                                \
            next->Method(text, nID);                         \
        } else {                                             \
            Show(kind, text, nID);                           \
        }                                                    \
    }

ZF_FORWARD_OR_SHOW(DisplayProperties, skProperties)
ZF_FORWARD_OR_SHOW(DisplayTaskMessage, skTask)
ZF_FORWARD_OR_SHOW(DisplayMessage, skMessage)
ZF_FORWARD_OR_SHOW(DisplaySuccessMessage, skSuccess)
ZF_FORWARD_OR_SHOW(DisplayWarning, skWarning)
ZF_FORWARD_OR_SHOW(DisplayError, skError)
#undef ZF_FORWARD_OR_SHOW

// Whether advanced messages are shown is decided where they end up.
void CStatusUpdate::DisplayAdvancedMessage(const CString& text, WORD nID)
{
    if (CStatusUpdate* next = Next()) {
        DepthGuard guard;
        next->DisplayAdvancedMessage(text, nID);
    } else if (m_bAdvancedUser) {
        Show(skAdvanced, text, nID);
    }
}

void CStatusUpdate::SetProgressRange(DWORD nLow, DWORD nHigh)
{
    if (CStatusUpdate* next = Next()) {
        DepthGuard guard;
        next->SetProgressRange(nLow, nHigh);
        return;
    }
    m_nRangeLow = nLow;
    m_nRangeHigh = nHigh;
}

void CStatusUpdate::GetProgressRange(DWORD& nLow, DWORD& nHigh)
{
    CStatusUpdate* end = EndOfChain();
    nLow = end->m_nRangeLow;
    nHigh = end->m_nRangeHigh;
}

void CStatusUpdate::SetProgressString(const CString& text)
{
    if (CStatusUpdate* next = Next()) {
        DepthGuard guard;
        next->SetProgressString(text);
        return;
    }
    std::lock_guard lock(m_textMutex);
    m_strProgress = text;
}

CString CStatusUpdate::GetProgressString()
{
    if (CStatusUpdate* next = Next()) {
        DepthGuard guard;
        return next->GetProgressString();
    }
    std::lock_guard lock(m_textMutex);
    return m_strProgress;
}

void CStatusUpdate::SetAdvancedUser(bool bAdvanced)
{
    m_bAdvancedUser = bAdvanced;
}

std::atomic<DWORD>& CStatusUpdate::GetProgress()
{
    return EndOfChain()->m_nProgress;
}

eQueryType CStatusUpdate::QueryUser(const CString& text, eQueryType style)
{
    return GetHostUI().MessageBox(text, style, style == qtNotice ? miInformation : miQuestion);
}

void CStatusUpdate::OnPropertyChange()
{
    GetHostUI().OnPropertyChange(EndOfChain());
}
