#pragma once
// The status sink every working object of the library derives from. An object
// either shows its messages itself (the end of a chain) or forwards them to the
// sink it is attached to; attaching an object to itself ends the forwarding.
#include <atomic>
#include <mutex>

#include "platform/HostUI.h"
#include "platform/Object.h"
#include "platform/String.h"
#include "platform/Types.h"

class CStatusUpdate : public CObject
{
    ZF_DECLARE_DYNAMIC(CStatusUpdate)
public:
    CStatusUpdate();
    CStatusUpdate(const CStatusUpdate& other);
    CStatusUpdate& operator=(const CStatusUpdate& other);
    ~CStatusUpdate() override;

    // Each takes a text and a catalogue identifier (0 for free text); an empty
    // text with an identifier stands for that identifier's catalogue text.
    virtual void DisplayProperties(const CString& text, WORD nID = 0);
    virtual void DisplayTaskMessage(const CString& text, WORD nID = 0);
    virtual void DisplayMessage(const CString& text, WORD nID = 0);
    virtual void DisplaySuccessMessage(const CString& text, WORD nID = 0);
    virtual void DisplayAdvancedMessage(const CString& text, WORD nID = 0);
    virtual void DisplayWarning(const CString& text, WORD nID = 0);
    virtual void DisplayError(const CString& text, WORD nID = 0);
    virtual void SetProgressRange(DWORD nLow, DWORD nHigh);
    virtual void SetProgressString(const CString& text);
    virtual CString GetProgressString();
    virtual void SetAdvancedUser(bool bAdvanced);

    // Returns the previous target; nullptr or this ends the forwarding.
    CStatusUpdate* SetStatusUpdate(CStatusUpdate* pTarget);
    CStatusUpdate* GetStatusUpdate() const;
    // Position at the end of the chain; callers advance it by the bytes moved.
    std::atomic<DWORD>& GetProgress();
    void GetProgressRange(DWORD& nLow, DWORD& nHigh);
    eQueryType QueryUser(const CString& text, eQueryType style);
    void OnPropertyChange();
    bool IsAdvancedUser() const { return m_bAdvancedUser.load(); }

    // The text a message stands for: its own, or its identifier's catalogue text.
    static CString ResolveText(const CString& text, WORD nID);

protected:
    // Where a message ends up when this object is the end of its chain.
    void Show(eStatusKind kind, const CString& text, WORD nID);
    // The object messages go to next, or nullptr when this is the end.
    CStatusUpdate* Next() const;

private:
    CStatusUpdate* EndOfChain();

    std::atomic<CStatusUpdate*> m_pStatusUpdate{nullptr};
    std::atomic<bool> m_bAdvancedUser{false};
    std::atomic<DWORD> m_nProgress{0};
    std::atomic<DWORD> m_nRangeLow{0};
    std::atomic<DWORD> m_nRangeHigh{100};
    mutable std::mutex m_textMutex;
    CString m_strProgress;
};

// What a forwarding scope leaves its part attached to when it ends.
enum eForwardEnd {
    feRestore, // the sink it had before: a nested scope keeps the outer routing
    feDetach,  // itself: its forwarding ends, whatever routed it before
};

// Routes a part's messages to a target for a scope; on leaving (or at End)
// the part is attached as the rule says. A null part makes it do nothing.
class CStatusForward
{
public:
    CStatusForward(CStatusUpdate* pPart, CStatusUpdate* pTarget, eForwardEnd rule);
    ~CStatusForward() { End(); }
    CStatusForward(const CStatusForward&) = delete;
    CStatusForward& operator=(const CStatusForward&) = delete;
    // Applies the rule now; the scope's end then does nothing.
    void End();

private:
    CStatusUpdate* m_pPart;
    CStatusUpdate* m_pPrevious = nullptr;
    eForwardEnd m_rule;
};
