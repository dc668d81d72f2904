#include "operations/ProgrammerOperations.h"

#include "devicedb/BlockItem.h"
#include "platform/List.h"
#include "programmer/FLASHProgrammer.h"

CConnectOperation::CConnectOperation(CWnd* pOwner, CFLASHProgrammer* pProgrammer, CStatusUpdate* pStatus,
                                     COperation* pParent)
    : CFLASHOperation(pOwner, nullptr, pProgrammer, pStatus, pParent)
{
    m_strName = "CConnectOperation";
}

BOOL CConnectOperation::Execute()
{
    return RunProgrammerCall([this] { return m_pProgrammer->Connect(); }, fcConnect);
}

BOOL CConnectOperation::DisplayOperationResults()
{
    if (IsAborted())
        return FALSE;
    if (GetFailCode() != fcSuccess)
        return AskRetry("Failed to connect.\nRetry?") ? TRUE : FALSE;
    PostToOwner(wmConnected);
    return FALSE;
}

CDisconnectOperation::CDisconnectOperation(CWnd* pOwner, CFLASHProgrammer* pProgrammer, CStatusUpdate* pStatus,
                                           COperation* pParent)
    : CFLASHOperation(pOwner, nullptr, pProgrammer, pStatus, pParent)
{
    m_strName = "CDisconnectOperation";
}

BOOL CDisconnectOperation::Execute()
{
    // Offer the board reset; the settings may still overrule it.
    return RunProgrammerCall([this] { return m_pProgrammer->Disconnect(1, 0); }, fcDisconnect);
}

BOOL CDisconnectOperation::DisplayOperationResults()
{
    if (IsAborted())
        return FALSE;
    if (GetFailCode() != fcSuccess)
        return AskRetry("Failed to Disconnect.\nRetry?") ? TRUE : FALSE;
    PostToOwner(wmDisconnected);
    return FALSE;
}

CBuildBlockEraseListOperation::CBuildBlockEraseListOperation(CWnd* pOwner, CFLASHProgrammer* pProgrammer,
                                                             CStatusUpdate* pStatus, COperation* pParent)
    : CFLASHOperation(pOwner, nullptr, pProgrammer, pStatus, pParent)
{
    m_strName = "CBuildBlockEraseListOperation";
}

BOOL CBuildBlockEraseListOperation::Execute()
{
    return RunProgrammerCall([this] { return m_pProgrammer->BuildBlockEraseList(); }, fcBlockList);
}

BOOL CBuildBlockEraseListOperation::DisplayOperationResults()
{
    if (IsAborted())
        return FALSE;
    const bool bCancelled = m_pProgrammer && m_pProgrammer->GetCancelFlag();
    if (GetFailCode() != fcSuccess && !bCancelled
        && AskRetry("Failed to retrieve block information from device.\nRetry?"))
        return TRUE;
    PostToOwner(wmBlockListReady);
    return FALSE;
}

CEraseBlocksOperation::CEraseBlocksOperation(CWnd* pOwner, CObList* pBlocks, CFLASHProgrammer* pProgrammer,
                                             CStatusUpdate* pStatus, COperation* pParent)
    : CFLASHOperation(pOwner, nullptr, pProgrammer, pStatus, pParent), m_pBlockList(pBlocks)
{
    m_strName = "CEraseBlocksOperation";
}

CEraseBlocksOperation::CEraseBlocksOperation(const CEraseBlocksOperation& other)
    : CFLASHOperation(other), m_pBlockList(CopyList(other.m_pBlockList))
{
}

CEraseBlocksOperation& CEraseBlocksOperation::operator=(const CEraseBlocksOperation& other)
{
    if (this != &other) {
        CFLASHOperation::operator=(other);
        CObList* pCopy = CopyList(other.m_pBlockList);
        DeleteBlockList();
        m_pBlockList = pCopy;
    }
    return *this;
}

CEraseBlocksOperation::~CEraseBlocksOperation()
{
    DeleteBlockList();
}

CObList* CEraseBlocksOperation::CopyList(const CObList* pSource)
{
    if (!pSource)
        return nullptr;
    auto* pCopy = new CObList;
    for (CObject* pObject : *pSource) {
        if (auto* pBlock = dynamic_cast<CBlockItem*>(pObject))
            pCopy->AddTail(new CBlockItem(pBlock));
    }
    return pCopy;
}

void CEraseBlocksOperation::DeleteBlockList()
{
    if (m_pBlockList) {
        m_pBlockList->DeleteAll();
        delete m_pBlockList;
        m_pBlockList = nullptr;
    }
}

BOOL CEraseBlocksOperation::Execute()
{
    return RunProgrammerCall(
        [this] {
            if (!m_pBlockList || m_pBlockList->IsEmpty()) {
                Report(skError, "No blocks were chosen to erase");
                return false;
            }
            return m_pProgrammer->EraseFLASHBlocks(m_pBlockList);
        },
        fcErase);
}

BOOL CEraseBlocksOperation::DisplayOperationResults()
{
    if (IsAborted())
        return FALSE;
    if (GetFailCode() != fcSuccess && AskRetry("Erase operation failed.\nRetry?"))
        return TRUE;
    DeleteBlockList();
    return FALSE;
}

CBlankCheckOperation::CBlankCheckOperation(CWnd* pOwner, CFLASHProgrammer* pProgrammer, CStatusUpdate* pStatus,
                                           COperation* pParent)
    : CFLASHOperation(pOwner, nullptr, pProgrammer, pStatus, pParent)
{
    m_strName = "CBlankCheckOperation";
}

BOOL CBlankCheckOperation::Execute()
{
    return RunProgrammerCall([this] { return m_pProgrammer->BlankCheck(&m_bBlank); }, fcBlankCheck);
}

BOOL CBlankCheckOperation::DisplayOperationResults()
{
    if (IsAborted())
        return FALSE;
    if (GetFailCode() != fcSuccess)
        return AskRetry("Blank check operation failed.\nRetry?") ? TRUE : FALSE;
    if (m_pProgrammer && !m_pProgrammer->GetCancelFlag())
        Notify(m_bBlank ? "Device is blank" : "Device is not blank");
    return FALSE;
}
