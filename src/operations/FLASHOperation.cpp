#include "operations/FLASHOperation.h"

#include <vector>

#include "image/FLASHBinaryImage.h"
#include "image/FLASHDocument.h"
#include "platform/HostUI.h"
#include "platform/Window.h"
#include "programmer/FLASHProgrammer.h"

const char* const g_szDocumentBusy = "The FLASH Document is currently being used by another operation";

CFLASHOperation::CFLASHOperation(CWnd* pOwner, CFLASHBinaryImage* pImage, CFLASHProgrammer* pProgrammer,
                                 CStatusUpdate* pStatus, COperation* pParent)
    : COperation(pOwner, pStatus, pParent), m_pImage(pImage), m_pProgrammer(pProgrammer)
{
    m_strName = "CFLASHOperation";
}

CFLASHOperation::CFLASHOperation(const CFLASHOperation& other)
    : COperation(other),
      m_pImage(other.m_pImage),
      m_pProgrammer(other.m_pProgrammer),
      m_dwFailCode(other.m_dwFailCode.load()),
      m_bNotify(other.m_bNotify),
      m_bAutoDelete(other.m_bAutoDelete),
      m_bStarted(other.m_bStarted.load())
{
    m_pNextOperation = nullptr;
}

CFLASHOperation& CFLASHOperation::operator=(const CFLASHOperation& other)
{
    if (this != &other) {
        DeleteChain();
        COperation::operator=(other);
        m_pNextOperation = nullptr;
        m_pImage = other.m_pImage;
        m_pProgrammer = other.m_pProgrammer;
        m_dwFailCode = other.m_dwFailCode.load();
        m_bNotify = other.m_bNotify;
        m_bAutoDelete = other.m_bAutoDelete;
        m_bStarted = other.m_bStarted.load();
    }
    return *this;
}

CFLASHOperation::~CFLASHOperation()
{
    // A busy document means nothing was ever attached.
    if (m_bStarted && m_dwFailCode != fcDocumentBusy) {
        Detach(m_pProgrammer);
        Detach(m_pImage);
    }
    DeleteChain();
}

void CFLASHOperation::Detach(CStatusUpdate* pObject)
{
    if (pObject && m_pStatusUpdate && pObject->GetStatusUpdate() == m_pStatusUpdate)
        pObject->SetStatusUpdate(pObject);
}

void CFLASHOperation::DeleteChain()
{
    COperation* pOp = nullptr;
    {
        std::lock_guard lock(m_chainMutex);
        pOp = m_pNextOperation;
        m_pNextOperation = nullptr;
    }
    std::vector<CStatusUpdate*> doomed;
    if (WillDeleteUpdate())
        doomed.push_back(m_pStatusUpdate);
    while (pOp) {
        COperation* pNext = pOp->GetNextOperation();
        pOp->SetNextOperation(nullptr);
        CStatusUpdate* pSink = pOp->GetStatusUpdate();
        if (pOp->WillDeleteUpdate()) {
            if (pSink == m_pStatusUpdate) {
                // This operation still reports to that sink: it keeps it.
                pOp->DeleteUpdateOnDestroy(FALSE);
                DeleteUpdateOnDestroy(TRUE);
            } else {
                bool bTwice = false;
                for (CStatusUpdate* p : doomed)
                    bTwice = bTwice || p == pSink;
                if (bTwice)
                    pOp->DeleteUpdateOnDestroy(FALSE);
                else
                    doomed.push_back(pSink);
            }
        }
        delete pOp;
        pOp = pNext;
    }
}

BOOL CFLASHOperation::Execute()
{
    COperation* pHead = nullptr;
    {
        std::lock_guard lock(m_chainMutex);
        // An aborted chain does not run; it goes with this operation.
        if (m_pNextOperation && m_pManager && !IsAborted()) {
            // A sink shared with the chain goes to the last operation that uses it.
            bool bOwned = WillDeleteUpdate();
            COperation* pLastSharer = nullptr;
            for (COperation* p = m_pNextOperation; p; p = p->GetNextOperation()) {
                if (p->GetStatusUpdate() == m_pStatusUpdate) {
                    bOwned = bOwned || p->WillDeleteUpdate();
                    p->DeleteUpdateOnDestroy(FALSE);
                    pLastSharer = p;
                }
            }
            if (pLastSharer) {
                DeleteUpdateOnDestroy(FALSE);
                pLastSharer->DeleteUpdateOnDestroy(bOwned ? TRUE : FALSE);
            }
            pHead = m_pNextOperation;
            m_pNextOperation = nullptr;
        }
    }
    if (pHead) {
        if (m_pManager->AddOperation(pHead)) {
            // Off the worker thread the queue runs the head itself.
            const bool bRunHere = m_pManager->IsWorkerThread();
            OperationComplete(fcSuccess);
            return bRunHere ? pHead->Execute() : TRUE;
        }
        // Put it back so that it is deleted with the same care as any chain left behind.
        {
            std::lock_guard lock(m_chainMutex);
            m_pNextOperation = pHead;
        }
        DeleteChain();
        Report(skWarning, "The queue refused the operations that follow; they will not run");
    }
    OperationComplete(fcSuccess);
    return TRUE;
}

void CFLASHOperation::MarkStarted()
{
    std::lock_guard lock(m_chainMutex);
    m_bStarted = 1;
    m_bCompleted = false; // a retry runs again
}

void CFLASHOperation::AbortOperation()
{
    std::lock_guard lock(m_chainMutex);
    if (m_bCompleted)
        return;
    COperation::AbortOperation();
    if (m_pNextOperation)
        m_pNextOperation->AbortOperation();
    if (m_pImage)
        m_pImage->Abort();
    if (m_pProgrammer && m_pProgrammer->IsBusy())
        m_pProgrammer->Cancel();
}

void CFLASHOperation::OperationComplete(DWORD dwCode)
{
    m_bStarted = 1;
    m_dwFailCode = dwCode;
    FlushMessages();
    bool bAborted = false;
    {
        std::lock_guard lock(m_chainMutex);
        m_bCompleted = true;
        bAborted = IsAborted();
    }
    // Read everything before the framework announces completion: a waiter may
    // delete the operation from then on.
    CWnd* pOwner = m_pOwner;
    const bool bNotify = m_bNotify && pOwner;
    const bool bDelete = !bNotify && m_bAutoDelete;
    const auto lParam = reinterpret_cast<LPARAM>(static_cast<COperation*>(this));
    COperation::OperationComplete(dwCode);
    if (bNotify) {
        // An aborting thread must never wait on the window.
        if (bAborted)
            pOwner->PostMessage(wmOperationFinished, 0, lParam);
        else
            pOwner->SendMessage(wmOperationFinished, 0, lParam);
    } else if (bDelete) {
        delete this;
    }
}

BOOL CFLASHOperation::DisplayOperationResults()
{
    if (IsAborted())
        return FALSE;
    Notify("Operation complete");
    return FALSE;
}

void CFLASHOperation::EnableNotification(int bNotify, int bAutoDelete)
{
    m_bNotify = bNotify;
    m_bAutoDelete = bAutoDelete;
}

bool CFLASHOperation::AskRetry(const char* pszText)
{
    return AfxMessageBox(pszText, qtYesNo, miQuestion) == qtYes;
}

void CFLASHOperation::Notify(const char* pszText)
{
    AfxMessageBox(pszText, qtNotice, miInformation);
}

void CFLASHOperation::PostToOwner(eFLASHWindowMessage message)
{
    if (m_pOwner)
        m_pOwner->PostMessage(message, 0, reinterpret_cast<LPARAM>(m_pProgrammer));
}

void CFLASHOperation::Report(eStatusKind kind, const CString& text)
{
    if (!m_pStatusUpdate)
        GetHostUI().ShowStatus(kind, text, 0);
    else if (kind == skSuccess)
        m_pStatusUpdate->DisplaySuccessMessage(text, 0);
    else if (kind == skWarning)
        m_pStatusUpdate->DisplayWarning(text, 0);
    else
        m_pStatusUpdate->DisplayError(text, 0);
}

bool CFLASHOperation::BeginDocumentWork(CFLASHDocument* pDocument)
{
    if (pDocument) {
        if (pDocument->IsDocumentBusy()) {
            OperationComplete(fcDocumentBusy);
            return false;
        }
        pDocument->LockDocument();
    }
    MarkStarted();
    return true;
}

void CFLASHOperation::EndDocumentWork(CFLASHDocument* pDocument)
{
    if (pDocument)
        pDocument->UnlockDocument();
}

bool CFLASHOperation::ReportMissing(bool bMissing, const char* pszWhat, DWORD dwCode)
{
    if (!bMissing)
        return false;
    CString text;
    text.Format("%s: no %s was given", m_strName.GetString(), pszWhat);
    Report(skError, text);
    OperationComplete(dwCode);
    return true;
}

BOOL CFLASHOperation::RunProgrammerCall(const std::function<bool()>& call, DWORD dwFailCode)
{
    MarkStarted();
    if (ReportMissing(!m_pProgrammer, "programmer", dwFailCode))
        return FALSE;
    SetStatusOutput(m_pProgrammer);
    if (!call()) {
        OperationComplete(dwFailCode);
        return FALSE;
    }
    return CFLASHOperation::Execute();
}
