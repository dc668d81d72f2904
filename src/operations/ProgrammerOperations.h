#pragma once
// The operations that drive the programmer alone: connecting, disconnecting,
// building the block list, erasing chosen blocks and blank checking.
#include "operations/FLASHOperation.h"

class CObList;

class CConnectOperation : public CFLASHOperation
{
    ZF_DECLARE_DYNAMIC(CConnectOperation)
public:
    CConnectOperation(CWnd* pOwner, CFLASHProgrammer* pProgrammer, CStatusUpdate* pStatus, COperation* pParent);
    BOOL Execute() override;
    BOOL DisplayOperationResults() override;
};

class CDisconnectOperation : public CFLASHOperation
{
    ZF_DECLARE_DYNAMIC(CDisconnectOperation)
public:
    CDisconnectOperation(CWnd* pOwner, CFLASHProgrammer* pProgrammer, CStatusUpdate* pStatus, COperation* pParent);
    BOOL Execute() override;
    BOOL DisplayOperationResults() override;
};

class CBuildBlockEraseListOperation : public CFLASHOperation
{
    ZF_DECLARE_DYNAMIC(CBuildBlockEraseListOperation)
public:
    CBuildBlockEraseListOperation(CWnd* pOwner, CFLASHProgrammer* pProgrammer, CStatusUpdate* pStatus,
                                  COperation* pParent);
    BOOL Execute() override;
    BOOL DisplayOperationResults() override;
};

class CEraseBlocksOperation : public CFLASHOperation
{
    ZF_DECLARE_DYNAMIC(CEraseBlocksOperation)
public:
    // The list and its CBlockItems become the operation's.
    CEraseBlocksOperation(CWnd* pOwner, CObList* pBlocks, CFLASHProgrammer* pProgrammer, CStatusUpdate* pStatus,
                          COperation* pParent);
    // A copy erases its own copy of the list.
    CEraseBlocksOperation(const CEraseBlocksOperation& other);
    CEraseBlocksOperation& operator=(const CEraseBlocksOperation& other);
    ~CEraseBlocksOperation() override;

    BOOL Execute() override;
    BOOL DisplayOperationResults() override;
    CObList* GetBlockList() const { return m_pBlockList; }

private:
    static CObList* CopyList(const CObList* pSource);
    void DeleteBlockList();

    CObList* m_pBlockList;
};

class CBlankCheckOperation : public CFLASHOperation
{
    ZF_DECLARE_DYNAMIC(CBlankCheckOperation)
public:
    CBlankCheckOperation(CWnd* pOwner, CFLASHProgrammer* pProgrammer, CStatusUpdate* pStatus, COperation* pParent);
    BOOL Execute() override;
    BOOL DisplayOperationResults() override;
    bool IsBlank() const { return m_bBlank; }

private:
    bool m_bBlank = false;
};
