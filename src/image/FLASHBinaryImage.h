#pragma once
// The editable FLASH image a host window shows: a binary image tied to its
// document. It takes the blank-run splitting from the settings store, keeps
// where the last undo or redo took place, lets another thread abort a file
// load or save under way, and gives the programmer aligned data ranges.
#include <atomic>

#include "image/BinaryImage.h"
#include "image/BinaryImageFile.h"
#include "platform/Sync.h"

class CFLASHDocument;

class CFLASHBinaryImage : public CBinaryImage
{
    ZF_DECLARE_DYNAMIC(CFLASHBinaryImage)
public:
    // Below 1: a dynamic image. The document is notified, not owned; may be null.
    CFLASHBinaryImage(int nSize, CFLASHDocument* pDocument);

    int SaveFile(const char* pszName, DWORD nStart, DWORD nEnd, int bKeepHistory) override;
    int LoadFile(const char* pszName) override;
    using CBinaryImage::GetData;
    // Unlike the base, a read may run past the window's end (those bytes read H'FF).
    int GetData(DWORD nAddress, BYTE* pOut, DWORD nLength) override;
    void OnBlockListChanged() override;
    using CBinaryImage::Undo;
    using CBinaryImage::Redo;
    void Undo() override;
    void Redo() override;
    // Only undo data counts: what can be redone is already saved or discarded.
    int IsImageModified() const override;

    virtual DWORD GetBlockCount();
    // Used by the next save only.
    virtual void SetSaveFileType(FileType nType);
    virtual void SetFLASHDocument(CFLASHDocument* pDocument);
    // The aligned unit run that starts with the data at or after nAddress:
    // *pFirst .. *pLast, *pLength bytes. Returns where the caller continues
    // (the next data beyond the run, or the run's end + 1); 0 when no data is left.
    virtual DWORD GetContiguousDataRange(DWORD nAddress, unsigned short nAlignment, DWORD* pFirst, DWORD* pLast,
                                         DWORD* pLength);
    // Stops a load or save running on another thread and waits until it has returned.
    virtual void Abort();

    // True once after an Abort.
    int LoadWasAborted();
    DWORD GetLastUndoRedoAddress() const { return m_nLastUndoRedoAddress; }

protected:
    // The file object of the load or save under way; null when none runs.
    CBinaryImageFile* GetActiveFile() const { return m_pActiveFile; }

private:
    // Lowest start of the newest generation of a history set.
    static bool NewestGenerationStart(const DATA_INFO& set, DWORD& nStart);
    void SetActiveFile(CBinaryImageFile* pFile);

    FileType m_nSaveFileType = ftNone;
    DWORD m_nLastUndoRedoAddress = 0;
    std::atomic<CFLASHDocument*> m_pDocument;
    std::atomic<BOOL> m_bLoadFinished{TRUE};
    CMutex m_FileMutex;
    std::atomic<CBinaryImageFile*> m_pActiveFile{nullptr};
    std::atomic<BOOL> m_bLoadAborted{FALSE};
};
