#pragma once
// Long-running work the host hands to a queue, and the queue that runs it on
// its own worker thread.
#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "platform/Object.h"
#include "platform/StatusUpdate.h"
#include "platform/String.h"
#include "platform/Types.h"

class CWnd;
class COperationManager;

class COperation : public CObject
{
    ZF_DECLARE_DYNAMIC(COperation)
public:
    // A parent operation gets this one appended to its follow-on chain.
    COperation(CWnd* pOwner, CStatusUpdate* pStatus, COperation* pParent);
    COperation(const COperation& other);
    COperation& operator=(const COperation& other);

    virtual void FlushMessages();
    ~COperation() override;
    // Routes pObject's messages into this operation's sink.
    virtual void SetStatusOutput(CStatusUpdate* pObject);
    virtual BOOL Execute();
    virtual void AbortOperation();
    virtual void OperationComplete(DWORD dwCode);
    // Nonzero: run the operation again.
    virtual BOOL DisplayOperationResults();
    virtual DWORD GetFailCode();

    CStatusUpdate* GetStatusUpdate() const { return m_pStatusUpdate; }
    // Whether the operation deletes its status sink when it is destroyed.
    void DeleteUpdateOnDestroy(BOOL bDelete) { m_bDeleteUpdate = bDelete != 0; }
    bool WillDeleteUpdate() const { return m_bDeleteUpdate; }

    COperation* GetNextOperation() const { return m_pNextOperation; }
    void SetNextOperation(COperation* pNext) { m_pNextOperation = pNext; }
    const CString& GetName() const { return m_strName; }
    bool IsAborted() const { return m_bAborted.load(); }
    COperationManager* GetManager() const { return m_pManager; }

    // Completion as the framework saw it; the code is the one passed to OperationComplete.
    bool IsComplete() const;
    DWORD GetCompletionCode() const;
    // Waits until OperationComplete has run; false on time-out.
    bool WaitForCompletion(DWORD nTimeout = INFINITE) const;

protected:
    CStatusUpdate* m_pStatusUpdate;
    CWnd* m_pOwner;
    CString m_strName;
    COperationManager* m_pManager = nullptr;
    std::atomic<bool> m_bAborted{false};
    COperation* m_pNextOperation = nullptr;

private:
    friend class COperationManager;
    bool m_bDeleteUpdate = false;
    mutable std::mutex m_completionMutex;
    mutable std::condition_variable m_completionCv;
    bool m_bComplete = false;
    DWORD m_dwCompletionCode = 0;
};

// Runs queued operations one at a time on a worker thread. The queue does not
// own the operations: the host deletes them (or they delete themselves).
class COperationManager
{
public:
    COperationManager();
    COperationManager(const COperationManager&) = delete;
    COperationManager& operator=(const COperationManager&) = delete;
    // Stops the worker after the running operation; operations never started are left to their owners.
    ~COperationManager();

    // Nonzero when accepted. Called from within a running operation (the worker
    // thread), the operation is adopted and run by that caller, not queued again.
    BOOL AddOperation(COperation* pOperation);
    // Waits until the queue is empty and nothing runs, including an
    // operation's completion message to its owner.
    void WaitUntilIdle();
    // Refuses further operations; with bRunQueued the queued ones still run.
    void Shutdown(bool bRunQueued = false);
    // Aborts the running operation, if any.
    void AbortCurrent();
    // A finished operation may be deleted by its owner at once: from here on
    // AbortCurrent no longer reaches it. Waits for an abort under way.
    void OperationFinished(COperation* pOperation);
    bool IsWorkerThread() const;
    int GetQueuedCount() const;

private:
    void Run();

    mutable std::mutex m_mutex;
    std::condition_variable m_cv;
    std::deque<COperation*> m_queue;
    COperation* m_pCurrent = nullptr;
    // An operation is in Execute: m_pCurrent is cleared when it completes, but
    // its owner hears of it only afterwards.
    bool m_bExecuting = false;
    bool m_bStopping = false;
    bool m_bRunQueued = false;
    bool m_bFinished = false;
    std::thread m_worker;
};
