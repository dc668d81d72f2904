#pragma once
// Read-back verification of an image as a queued operation, beside the
// library's own operations (which verify only as part of a write).
#include "operations/FLASHOperation.h"

// The fail code of a verification that found a difference or could not read.
constexpr DWORD fcVerify = 10;

class CUiVerifyOperation : public CFLASHOperation
{
public:
    CUiVerifyOperation(CWnd* pOwner, CFLASHBinaryImage* pImage, CFLASHProgrammer* pProgrammer, CStatusUpdate* pStatus)
        : CFLASHOperation(pOwner, pImage, pProgrammer, pStatus, nullptr)
    {
        m_strName = "CUiVerifyOperation";
    }
    BOOL Execute() override;
    BOOL DisplayOperationResults() override { return FALSE; }
};
