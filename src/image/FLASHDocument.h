#pragma once
// The document that holds an editable FLASH image for a host window. Two
// process-wide named locks keep operations apart: the document lock is held
// by an operation while it uses the image; the property lock guards the
// property viewer. Views register an update callback.
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/Object.h"
#include "platform/String.h"
#include "platform/Sync.h"
#include "platform/Types.h"

class CFLASHPropertyViewer;
class CWnd;

class CFLASHDocument : public CObject
{
    ZF_DECLARE_DYNAMIC(CFLASHDocument)
public:
    // Hint given to the views when the read-only flag changes.
    static constexpr LPARAM kReadOnlyHint = 0x900;
    // A view's update: the hint value and the hint object (the document).
    using ViewUpdate = std::function<void(LPARAM lHint, CObject* pHint)>;

    CFLASHDocument();
    CFLASHDocument(const CFLASHDocument&) = delete;
    CFLASHDocument& operator=(const CFLASHDocument&) = delete;
    ~CFLASHDocument() override;

    virtual BOOL IsModified();
    virtual void SetModifiedFlag(BOOL bModified = TRUE);
    virtual void OnChangedViewList();
    virtual BOOL OnNewDocument();
    virtual void LockProperties();
    virtual void UnlockProperties();
    virtual void LockDocument();
    virtual void UnlockDocument();
    // Never waits more than about a millisecond.
    virtual int IsDocumentBusy();
    virtual int GetReadOnly();
    virtual void SetReadOnly(int bReadOnly);
    virtual void OnPropertyChange();
    // The replaced viewer is neither told nor deleted; it stays the host's.
    virtual void SetPropertyViewer(CFLASHPropertyViewer* pViewer);

    void SetWndExtra(CWnd* pWnd) { m_pWndExtra = pWnd; }
    CWnd* GetWndExtra() const { return m_pWndExtra; }
    CFLASHPropertyViewer* GetPropertyViewer() const { return m_pPropertyViewer; }
    void SetUntitled(CString name, int bUntitled);
    int IsUntitled(CString& name);
    // The image is saved through its own files; the document stores nothing.
    void Serialize(CArchive& ar) override;

    // Views: a registered callback is called by UpdateAllViews until removed.
    int AddView(ViewUpdate update);
    void RemoveView(int nView);
    void UpdateAllViews(LPARAM lHint, CObject* pHint);

    const CString& GetPropertyMutexName() const { return m_pPropertyMutex->GetName(); }
    const CString& GetDocumentMutexName() const { return m_pDocumentMutex->GetName(); }

private:
    BOOL m_bUntitled = TRUE;
    BOOL m_bReadOnly = FALSE;
    CString m_strUntitledName;
    std::atomic<CFLASHPropertyViewer*> m_pPropertyViewer{nullptr};
    std::unique_ptr<CMutex> m_pPropertyMutex;
    std::unique_ptr<CMutex> m_pDocumentMutex;
    CWnd* m_pWndExtra = nullptr;
    BOOL m_bModified = FALSE;

    std::mutex m_viewMutex;
    std::vector<std::pair<int, ViewUpdate>> m_Views;
    int m_nNextView = 1;
};
