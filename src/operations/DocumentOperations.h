#pragma once
// The operations that work on a document's image: decoding a file into it,
// programming it into the device and reading the device back into it. Each
// keeps off a document another operation is using (fail code 7).
#include "operations/FLASHOperation.h"
#include "platform/String.h"

class CFLASHDocument;
class COTPConfig;

class CSRecordDecodeOperation : public CFLASHOperation
{
    ZF_DECLARE_DYNAMIC(CSRecordDecodeOperation)
public:
    // The programmer is not kept: decoding needs none.
    CSRecordDecodeOperation(CWnd* pOwner, CFLASHBinaryImage* pImage, CFLASHProgrammer* pProgrammer,
                            CStatusUpdate* pStatus, const CString& fileName, CFLASHDocument* pDocument,
                            COperation* pParent);
    CSRecordDecodeOperation(const CSRecordDecodeOperation& other) = default;
    CSRecordDecodeOperation& operator=(const CSRecordDecodeOperation& other) = default;
    ~CSRecordDecodeOperation() override = default;

    BOOL Execute() override;
    BOOL DisplayOperationResults() override;

    const CString& GetFileName() const { return m_strFileName; }
    CFLASHDocument* GetDocument() const { return m_pDocument; }

private:
    CString m_strFileName;
    CFLASHDocument* m_pDocument;
};

class CDownloadOperation : public CFLASHOperation
{
    ZF_DECLARE_DYNAMIC(CDownloadOperation)
public:
    // With bProduction set the image is written as a production job with pConfig (not owned).
    CDownloadOperation(CWnd* pOwner, CFLASHBinaryImage* pImage, CFLASHProgrammer* pProgrammer,
                       CStatusUpdate* pStatus, CFLASHDocument* pDocument, int bProduction, COTPConfig* pConfig,
                       COperation* pParent);
    CDownloadOperation(const CDownloadOperation& other) = default;
    CDownloadOperation& operator=(const CDownloadOperation& other) = default;
    ~CDownloadOperation() override = default;

    BOOL Execute() override;
    BOOL DisplayOperationResults() override;
    CFLASHDocument* GetDocument() const { return m_pDocument; }

private:
    CFLASHDocument* m_pDocument;
    int m_bProduction;
    COTPConfig* m_pOTPConfig;
};

class CUploadOperation : public CFLASHOperation
{
    ZF_DECLARE_DYNAMIC(CUploadOperation)
public:
    // The document belongs to the host, but the operation deletes it when the
    // read is aborted or given up (see DisplayOperationResults).
    CUploadOperation(CWnd* pOwner, CFLASHBinaryImage* pImage, DWORD nStart, DWORD nEndOrLength, int nReadMode,
                     CFLASHProgrammer* pProgrammer, CStatusUpdate* pStatus, CFLASHDocument* pDocument,
                     COperation* pParent);
    CUploadOperation(const CUploadOperation& other) = default;
    CUploadOperation& operator=(const CUploadOperation& other) = default;
    ~CUploadOperation() override = default;

    BOOL Execute() override;
    BOOL DisplayOperationResults() override;

    // The image read: the one given, or a new one the host owns when none was given.
    CFLASHBinaryImage* GetReadImage() const { return m_pReadImage; }
    CFLASHDocument* GetDocument() const { return m_pDocument; }

private:
    void DeleteDocument();

    CFLASHDocument* m_pDocument;
    int m_nReadMode;
    DWORD m_nStart;
    DWORD m_nEndOrLength;
    CFLASHBinaryImage* m_pReadImage = nullptr;
};
