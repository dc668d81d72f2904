#pragma once
// The base of the operations the host queues around the programmer: how they
// complete and tell the owner window, how they hand their follow-on chain to
// the queue, how an abort reaches the chain, the image and the programmer.
//
// Ownership: an operation owns the follow-on chain still attached to it (a
// chain that will never run is deleted with it); once handed to the queue the
// chain belongs to the host like any queued operation.
#include <atomic>
#include <functional>
#include <mutex>

#include "operations/Operation.h"
#include "platform/HostUI.h"
#include "platform/Types.h"

class CFLASHBinaryImage;
class CFLASHDocument;
class CFLASHProgrammer;
class CWnd;

// The message shown when an operation found its document in use.
extern const char* const g_szDocumentBusy;

// Why an operation failed; 0 until it completes.
enum eFLASHFailCode : DWORD {
    fcSuccess = 0,
    fcDecode = 1,
    fcDownload = 2,
    fcUpload = 3,
    fcConnect = 4,
    fcErase = 5,
    fcBlankCheck = 6,
    fcDocumentBusy = 7, // the operation did nothing
    fcDisconnect = 8,
    fcBlockList = 9,
};

// Messages to the owner window; the first parameter is always 0.
enum eFLASHWindowMessage : UINT {
    wmOperationFinished = 0x0C34, // second parameter: the operation
    wmConnected = 0x0C35,         // second parameter: the programmer
    wmDisconnected = 0x0C36,      // second parameter: the programmer
    wmBlockListReady = 0x0C37,    // second parameter: the programmer
};

class CFLASHOperation : public COperation
{
    ZF_DECLARE_DYNAMIC(CFLASHOperation)
public:
    CFLASHOperation(CWnd* pOwner, CFLASHBinaryImage* pImage, CFLASHProgrammer* pProgrammer, CStatusUpdate* pStatus,
                    COperation* pParent);
    // The copy shares image and programmer but takes no follow-on chain: a
    // chain has one owner.
    CFLASHOperation(const CFLASHOperation& other);
    CFLASHOperation& operator=(const CFLASHOperation& other);
    ~CFLASHOperation() override;

    // Runs after a subclass's work succeeded: hands on the chain and completes.
    BOOL Execute() override;
    // Too late once the operation has completed: then nothing changes.
    void AbortOperation() override;
    // May delete the operation (auto-delete without notification): touch
    // nothing of it afterwards.
    void OperationComplete(DWORD dwCode) override;
    BOOL DisplayOperationResults() override;
    DWORD GetFailCode() override { return m_dwFailCode.load(); }

    void EnableNotification(int bNotify, int bAutoDelete);
    int IsOperationRunning() const { return m_bStarted.load(); }
    CFLASHProgrammer* GetFLASHProgrammer() const { return m_pProgrammer; }
    CFLASHBinaryImage* GetImage() const { return m_pImage; }

protected:
    void MarkStarted();
    // Yes/No question on the owner window; true for Yes.
    static bool AskRetry(const char* pszText);
    // A notice to the person; the answer does not matter.
    static void Notify(const char* pszText);
    // Posts one of the connection messages with the programmer, when there is a window.
    void PostToOwner(eFLASHWindowMessage message);
    // A message through the operation's sink (straight to the host when there is none).
    void Report(eStatusKind kind, const CString& text);
    // Completes with code 7 and returns false when the document is busy;
    // otherwise locks it (a null document needs no lock) and marks the start.
    bool BeginDocumentWork(CFLASHDocument* pDocument);
    static void EndDocumentWork(CFLASHDocument* pDocument);
    // When bMissing: reports that the part named is missing and completes
    // with dwCode; the caller returns at once.
    bool ReportMissing(bool bMissing, const char* pszWhat, DWORD dwCode);
    // The whole Execute of an operation that makes one programmer call.
    BOOL RunProgrammerCall(const std::function<bool()>& call, DWORD dwFailCode);
    // Detaches and deletes the chain still attached, so that no status sink
    // is deleted twice and this operation's own sink outlives the chain.
    void DeleteChain();

    CFLASHBinaryImage* m_pImage;
    CFLASHProgrammer* m_pProgrammer;
    std::atomic<DWORD> m_dwFailCode{0};
    int m_bNotify = 1;
    int m_bAutoDelete = 0;
    std::atomic<int> m_bStarted{0};

private:
    // Ends the forwarding of pObject when it still goes to this operation's sink.
    void Detach(CStatusUpdate* pObject);

    // Keeps the chain whole while an abort from another thread walks it, and
    // keeps completion (after which the owner may delete the operation) from
    // overtaking an abort under way.
    std::mutex m_chainMutex;
    bool m_bCompleted = false;
};
