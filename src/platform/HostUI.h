#pragma once
// The one point where the library meets the person at the host: message
// boxes, status-bar panes, the wait cursor and the end of every status chain.
// The host installs its own; the default never blocks: it prints to stderr and
// answers every question with a configured default.
#include <atomic>
#include <mutex>

#include "platform/String.h"
#include "platform/Types.h"

class CStatusUpdate;

// Question styles and answers.
enum eQueryType : int {
    qtOK = 1,                 // answer to a notice
    qtYes = 2,
    qtNo = 3,
    qtCancel = 4,
    qtNotice = 5,             // style: OK button only, the answer does not matter
    qtAbort = 6,
    qtRetry = 7,              // any answer to qtAbortRetryIgnore other than Abort or Ignore
    qtIgnore = 8,
    qtYesNo = 9,
    qtYesNoCancel = 10,
    qtAbortRetryIgnore = 12,
};

enum eMessageIcon { miNone, miInformation, miWarning, miError, miQuestion };

// Which display operation of a status sink a message came through.
enum eStatusKind { skProperties, skTask, skMessage, skSuccess, skAdvanced, skWarning, skError };

const char* StatusKindName(eStatusKind kind);

class CHostUI
{
public:
    CHostUI();
    CHostUI(const CHostUI&) = delete;
    CHostUI& operator=(const CHostUI&) = delete;
    virtual ~CHostUI();

    virtual eQueryType MessageBox(const CString& text, eQueryType style, eMessageIcon icon = miNone);
    virtual void SetStatusPane(int nPane, const CString& text);
    virtual void BeginWaitCursor();
    virtual void EndWaitCursor();
    // A message that reached the end of a status chain (text already resolved).
    virtual void ShowStatus(eStatusKind kind, const CString& text, WORD nID);
    virtual void OnPropertyChange(CStatusUpdate* pSource);

    // Answer the default implementation gives to a style.
    void SetDefaultAnswer(eQueryType style, eQueryType answer);
    eQueryType GetDefaultAnswer(eQueryType style) const;

private:
    mutable std::mutex m_mutex;
    eQueryType m_yesNo = qtNo;
    eQueryType m_yesNoCancel = qtCancel;
    eQueryType m_abortRetryIgnore = qtAbort;
};

// The installed host; never null.
CHostUI& GetHostUI();
// nullptr restores the default. The caller keeps ownership and must keep it alive while installed.
void SetHostUI(CHostUI* pHost);

// Shows the wait cursor for a scope.
class CWaitCursor
{
public:
    CWaitCursor() { GetHostUI().BeginWaitCursor(); }
    ~CWaitCursor() { GetHostUI().EndWaitCursor(); }
    CWaitCursor(const CWaitCursor&) = delete;
    CWaitCursor& operator=(const CWaitCursor&) = delete;
};

// Convenience for a message box through the installed host.
inline eQueryType AfxMessageBox(const CString& text, eQueryType style = qtNotice, eMessageIcon icon = miNone)
{
    return GetHostUI().MessageBox(text, style, icon);
}
