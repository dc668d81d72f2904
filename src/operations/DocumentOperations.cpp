#include "operations/DocumentOperations.h"

#include "image/FLASHBinaryImage.h"
#include "image/FLASHDocument.h"
#include "programmer/FLASHProgrammer.h"

CSRecordDecodeOperation::CSRecordDecodeOperation(CWnd* pOwner, CFLASHBinaryImage* pImage, CFLASHProgrammer*,
                                                 CStatusUpdate* pStatus, const CString& fileName,
                                                 CFLASHDocument* pDocument, COperation* pParent)
    : CFLASHOperation(pOwner, pImage, nullptr, pStatus, pParent), m_strFileName(fileName), m_pDocument(pDocument)
{
    m_strName = "CSRecordDecodeOperation";
}

BOOL CSRecordDecodeOperation::Execute()
{
    if (!BeginDocumentWork(m_pDocument))
        return FALSE;
    bool bOK = false;
    if (m_pImage) {
        SetStatusOutput(m_pImage);
        bOK = m_pImage->LoadFile(m_strFileName) != 0;
    }
    EndDocumentWork(m_pDocument);
    // The views show what was loaded, even part of a file.
    if (m_pDocument)
        m_pDocument->OnPropertyChange();
    if (ReportMissing(!m_pImage, "image", fcDecode))
        return FALSE;
    if (!bOK) {
        OperationComplete(fcDecode);
        return FALSE;
    }
    return CFLASHOperation::Execute();
}

BOOL CSRecordDecodeOperation::DisplayOperationResults()
{
    if (IsAborted())
        return FALSE;
    switch (GetFailCode()) {
    case fcDecode:
        break;
    case fcDocumentBusy:
        Notify(g_szDocumentBusy);
        break;
    default:
        Report(skSuccess, "The image was decoded successfully");
        break;
    }
    return FALSE;
}

CDownloadOperation::CDownloadOperation(CWnd* pOwner, CFLASHBinaryImage* pImage, CFLASHProgrammer* pProgrammer,
                                       CStatusUpdate* pStatus, CFLASHDocument* pDocument, int bProduction,
                                       COTPConfig* pConfig, COperation* pParent)
    : CFLASHOperation(pOwner, pImage, pProgrammer, pStatus, pParent),
      m_pDocument(pDocument),
      m_bProduction(bProduction),
      m_pOTPConfig(pConfig)
{
    m_strName = "CDownloadOperation";
}

BOOL CDownloadOperation::Execute()
{
    if (!BeginDocumentWork(m_pDocument))
        return FALSE;
    if (!m_pProgrammer || !m_pImage) {
        EndDocumentWork(m_pDocument);
        ReportMissing(true, m_pProgrammer ? "image" : "programmer", fcDownload);
        return FALSE;
    }
    SetStatusOutput(m_pProgrammer);
    const bool bOK = m_bProduction ? m_pProgrammer->OTPWriteFLASH(m_pImage, m_pOTPConfig)
                                   : m_pProgrammer->WriteImage(m_pImage);
    EndDocumentWork(m_pDocument);
    if (!bOK) {
        OperationComplete(fcDownload);
        return FALSE;
    }
    return CFLASHOperation::Execute();
}

BOOL CDownloadOperation::DisplayOperationResults()
{
    if (IsAborted() || m_bProduction)
        return FALSE;
    switch (GetFailCode()) {
    case fcDownload:
        return AskRetry("Failed to download image.\nRetry?") ? TRUE : FALSE;
    case fcDocumentBusy:
        Notify(g_szDocumentBusy);
        break;
    default:
        break;
    }
    return FALSE;
}

CUploadOperation::CUploadOperation(CWnd* pOwner, CFLASHBinaryImage* pImage, DWORD nStart, DWORD nEndOrLength,
                                   int nReadMode, CFLASHProgrammer* pProgrammer, CStatusUpdate* pStatus,
                                   CFLASHDocument* pDocument, COperation* pParent)
    : CFLASHOperation(pOwner, pImage, pProgrammer, pStatus, pParent),
      m_pDocument(pDocument),
      m_nReadMode(nReadMode),
      m_nStart(nStart),
      m_nEndOrLength(nEndOrLength)
{
    m_strName = "CUploadOperation";
}

BOOL CUploadOperation::Execute()
{
    if (!BeginDocumentWork(m_pDocument))
        return FALSE;
    if (!m_pProgrammer) {
        EndDocumentWork(m_pDocument);
        ReportMissing(true, "programmer", fcUpload);
        return FALSE;
    }
    SetStatusOutput(m_pProgrammer);
    CFLASHBinaryImage* pRead = m_pProgrammer->ReadImage(m_nReadMode, m_pImage, m_nStart, m_nEndOrLength);
    if (pRead) {
        m_pReadImage = pRead;
        pRead->ResetUndoRedoMemory();
    }
    EndDocumentWork(m_pDocument);
    if (!pRead) {
        OperationComplete(fcUpload);
        return FALSE;
    }
    return CFLASHOperation::Execute();
}

void CUploadOperation::DeleteDocument()
{
    delete m_pDocument;
    m_pDocument = nullptr;
}

BOOL CUploadOperation::DisplayOperationResults()
{
    const DWORD dwCode = GetFailCode();
    if (IsAborted()) {
        if (dwCode != fcDocumentBusy)
            DeleteDocument();
        return FALSE;
    }
    if (dwCode == fcSuccess)
        return FALSE;
    // Another operation still uses that document: it must survive.
    if (dwCode == fcDocumentBusy) {
        Notify(g_szDocumentBusy);
        return FALSE;
    }
    if (m_pProgrammer && m_pProgrammer->GetCancelFlag())
        return FALSE;
    if (AskRetry("Failed to upload image.\nRetry?"))
        return TRUE;
    if (!GetNextOperation())
        DeleteDocument();
    return FALSE;
}
