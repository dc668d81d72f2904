#include "operations/Operation.h"

#include <chrono>

COperation::COperation(CWnd* pOwner, CStatusUpdate* pStatus, COperation* pParent)
    : m_pStatusUpdate(pStatus), m_pOwner(pOwner), m_strName("COperation")
{
    if (pParent) {
        COperation* tail = pParent;
        while (tail->m_pNextOperation)
            tail = tail->m_pNextOperation;
        tail->m_pNextOperation = this;
    }
}

COperation::COperation(const COperation& other)
    : CObject(other),
      m_pStatusUpdate(other.m_pStatusUpdate),
      m_pOwner(other.m_pOwner),
      m_strName(other.m_strName),
      m_pManager(other.m_pManager),
      m_bAborted(other.m_bAborted.load()),
      m_pNextOperation(other.m_pNextOperation),
      m_bDeleteUpdate(false) // one sink, one owner
{
}

COperation& COperation::operator=(const COperation& other)
{
    if (this != &other) {
        m_pStatusUpdate = other.m_pStatusUpdate;
        m_pOwner = other.m_pOwner;
        m_strName = other.m_strName;
        m_pManager = other.m_pManager;
        m_bAborted = other.m_bAborted.load();
        m_pNextOperation = other.m_pNextOperation;
        m_bDeleteUpdate = false;
    }
    return *this;
}

COperation::~COperation()
{
    if (m_bDeleteUpdate)
        delete m_pStatusUpdate;
}

void COperation::FlushMessages() {}

void COperation::SetStatusOutput(CStatusUpdate* pObject)
{
    if (pObject)
        pObject->SetStatusUpdate(m_pStatusUpdate);
}

BOOL COperation::Execute()
{
    OperationComplete(0);
    return TRUE;
}

void COperation::AbortOperation()
{
    m_bAborted = true;
}

void COperation::OperationComplete(DWORD dwCode)
{
    if (m_pManager)
        m_pManager->OperationFinished(this);
    std::lock_guard lock(m_completionMutex);
    m_dwCompletionCode = dwCode;
    m_bComplete = true;
    m_completionCv.notify_all();
}

BOOL COperation::DisplayOperationResults()
{
    return FALSE;
}

DWORD COperation::GetFailCode()
{
    return GetCompletionCode();
}

bool COperation::IsComplete() const
{
    std::lock_guard lock(m_completionMutex);
    return m_bComplete;
}

DWORD COperation::GetCompletionCode() const
{
    std::lock_guard lock(m_completionMutex);
    return m_dwCompletionCode;
}

bool COperation::WaitForCompletion(DWORD nTimeout) const
{
    std::unique_lock lock(m_completionMutex);
    const auto done = [this] { return m_bComplete; };
    if (nTimeout == INFINITE) {
        m_completionCv.wait(lock, done);
        return true;
    }
    return m_completionCv.wait_for(lock, std::chrono::milliseconds(nTimeout), done);
}

COperationManager::COperationManager() : m_worker([this] { Run(); }) {}

COperationManager::~COperationManager()
{
    Shutdown(false);
}

bool COperationManager::IsWorkerThread() const
{
    return std::this_thread::get_id() == m_worker.get_id();
}

BOOL COperationManager::AddOperation(COperation* pOperation)
{
    if (!pOperation)
        return FALSE;
    std::lock_guard lock(m_mutex);
    if (m_bStopping)
        return FALSE;
    pOperation->m_pManager = this;
    if (IsWorkerThread()) {
        // A running operation hands over its follow-on and runs it itself.
        m_pCurrent = pOperation;
        return TRUE;
    }
    m_queue.push_back(pOperation);
    m_cv.notify_all();
    return TRUE;
}

void COperationManager::Run()
{
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_cv.wait(lock, [this] { return !m_queue.empty() || m_bStopping; });
        if (m_queue.empty() || (m_bStopping && !m_bRunQueued))
            break;
        COperation* op = m_queue.front();
        m_queue.pop_front();
        m_pCurrent = op;
        m_bExecuting = true;
        lock.unlock();
        op->Execute();
        lock.lock();
        m_bExecuting = false;
        m_pCurrent = nullptr;
        m_cv.notify_all();
    }
    m_queue.clear();
    m_pCurrent = nullptr;
    m_bFinished = true;
    m_cv.notify_all();
}

void COperationManager::WaitUntilIdle()
{
    std::unique_lock lock(m_mutex);
    if (IsWorkerThread())
        return;
    m_cv.wait(lock, [this] { return (m_queue.empty() && !m_pCurrent && !m_bExecuting) || m_bFinished; });
}

void COperationManager::Shutdown(bool bRunQueued)
{
    {
        std::lock_guard lock(m_mutex);
        if (!m_bStopping) {
            m_bStopping = true;
            m_bRunQueued = bRunQueued;
        }
        m_cv.notify_all();
    }
    if (m_worker.joinable() && !IsWorkerThread())
        m_worker.join();
}

void COperationManager::AbortCurrent()
{
    std::lock_guard lock(m_mutex);
    if (m_pCurrent)
        m_pCurrent->AbortOperation();
}

void COperationManager::OperationFinished(COperation* pOperation)
{
    std::lock_guard lock(m_mutex);
    if (m_pCurrent == pOperation)
        m_pCurrent = nullptr;
}

int COperationManager::GetQueuedCount() const
{
    std::lock_guard lock(m_mutex);
    return static_cast<int>(m_queue.size());
}
