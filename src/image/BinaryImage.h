#pragma once
// The in-memory image of a target's memory: a window of 32-bit addresses in
// which only the bytes actually set are stored, as data blocks; everything else
// reads as H'FF. Beside the image data it keeps the ranges loaded from files and
// the layered undo and redo history, so that edits can be undone and redone and
// a file load can be taken back.
#include <cstdint>
#include <cstdio>
#include <vector>

#include "image/DataBlock.h"
#include "platform/StatusUpdate.h"
#include "platform/Types.h"

class CBinaryImage : public CStatusUpdate
{
    ZF_DECLARE_DYNAMIC(CBinaryImage)
public:
    // Most entries the area table can hold.
    static constexpr int kMaxAreas = 0x20000;

    // Below 1: a dynamic image of size 0 that grows to take what is written;
    // otherwise a fixed window of that size starting at address 0.
    explicit CBinaryImage(int nSize);
    CBinaryImage(const CBinaryImage&) = delete;
    CBinaryImage& operator=(const CBinaryImage&) = delete;
    ~CBinaryImage() override;

    // Image files; handed over to the image file reader and writer.
    virtual int SaveFile(const char* pszName, DWORD nStart, DWORD nEnd, int bKeepHistory);
    virtual int LoadFile(const char* pszName);
    // While set, editing writes are recorded as file-load ranges instead of history.
    virtual void SetUploadedDataFlag(bool bUploaded);
    virtual bool GetUploadedDataFlag() const;
    // Hooks around the records of an FPR file; nothing of its own to read or write here.
    virtual int OnFPRRead(FILE* pFile);
    virtual int OnFPRWrite(FILE* pFile);
    // Bytes held by blocks: each block's record, plus its data in the sets that carry data.
    virtual DWORD GetCacheMemoryUsed() const;

protected:
    // out[0 .. nTo - nFrom] = the set's bytes (H'FF where it has none); layered
    // sets give, at each address, the most recent layer.
    virtual void GetData(DWORD nFrom, DWORD nTo, BYTE* pOut, DATA_INFO* pSet);

public:
    // 0 (and pOut untouched) unless [nAddress, nAddress + nLength - 1] lies in the window.
    virtual int GetData(DWORD nAddress, BYTE* pOut, DWORD nLength);

protected:
    // Stores into one set, clipped to the window; image data is split into runs.
    virtual void SetData(DWORD nFrom, DWORD nLength, const BYTE* pBytes, DATA_INFO* pSet);

public:
    // The editing write: keeps what it overwrites as history. 1 when nothing was clipped.
    virtual int SetData(DWORD nAddress, const BYTE* pBytes, DWORD nLength);
    // H'FF for an address the read cannot reach.
    virtual BYTE GetDataByte(DWORD nAddress);
    virtual int SetDataByte(DWORD nAddress, BYTE nValue);
    virtual void ClearMemory();
    virtual int IsImageDataPresent() const;
    // First address in [nFrom, nTo] where the pattern starts; -1 (H'FFFFFFFF) if none.
    virtual int Find(DWORD nFrom, DWORD nTo, const BYTE* pPattern, DWORD nLength);
    virtual DWORD GetDataMemoryUsed(DWORD nFrom, DWORD nTo);
    // Next contiguous data range at or after nFrom. Pass -1 first, then the
    // returned index with nFrom = last + 1; -1 back means no more ranges.
    virtual int GetNextDataRangeByIndex(int nIndex, DWORD nFrom, DWORD* pFirst, DWORD* pLast);
    // End address of the highest image block; -1 (H'FFFFFFFF) when there is none.
    virtual int GetLastAddressInCache() const;
    virtual void DisplayBlockUsage();
    // Called when the list of data ranges may have changed.
    virtual void OnBlockListChanged();
    // Only a dynamic image takes it; its window size is always a multiple of it.
    virtual void SetByteAlignment(DWORD nAlignment);
    virtual DWORD GetByteAlignment() const;
    virtual void SetStartAddress(DWORD nStart);
    virtual void SetImageSize(DWORD nSize);
    virtual int IsDynamicImage() const;
    virtual DWORD GetStartAddress() const;
    virtual DWORD GetImageSize() const;
    // The write of the file loaders: an editing write that also records the file-load range.
    virtual int SetDataFromFile(DWORD nAddress, DWORD nLength, const BYTE* pBytes);
    virtual void UndoFileLoad();
    virtual void ResetFileLoadMemory();
    virtual void ClearFileLoadRange(DWORD nAddress, DWORD nLength);
    virtual int IsImageFileLoaded() const;
    virtual int GetNextFileLoadRangeByIndex(int nIndex, DWORD nFrom, DWORD* pFirst, DWORD* pLast);

    virtual void Undo(DWORD nAddress);
    virtual void Undo();
    virtual void UndoRange(DWORD nAddress, DWORD nLength);
    virtual void UndoAll();
    virtual void UndoAllRange(DWORD nAddress, DWORD nLength);
    virtual void ClearLastUndoRange(DWORD nAddress, DWORD nLength);
    virtual void ClearAllUndoRange(DWORD nAddress, DWORD nLength);
    virtual int GetNextUndoRangeByIndex(int nIndex, DWORD nFrom, DWORD* pFirst, DWORD* pLast);
    virtual void ResetUndoRedoMemory();
    virtual int IsImageModified() const;
    virtual void Redo(DWORD nAddress);
    virtual void Redo();
    virtual void RedoRange(DWORD nAddress, DWORD nLength);
    virtual void RedoAll();
    virtual void RedoAllRange(DWORD nAddress, DWORD nLength);
    virtual void ClearLastRedoRange(DWORD nAddress, DWORD nLength);
    virtual void ClearAllRedoRange(DWORD nAddress, DWORD nLength);
    virtual int GetNextRedoRangeByIndex(int nIndex, DWORD nFrom, DWORD* pFirst, DWORD* pLast);

protected:
    // One undo pass over [nFrom, nTo] of the undo data set (or one redo pass of the redo data set).
    virtual void ProcessFIFOData(DWORD nFrom, DWORD nTo, DATA_INFO* pSet);
    // Every layer over [nFrom, nTo].
    virtual void DeleteAllRange(DWORD nFrom, DWORD nTo, DATA_INFO* pSet);
    // Only the newest layer over [nFrom, nTo].
    virtual void DeleteFIFORange(DWORD nFrom, DWORD nTo, DATA_INFO* pSet);
    virtual void DeleteRangeFromBlock(DWORD nFrom, DWORD nTo, CDataBlock* pBlock, DATA_INFO* pSet);
    // A full set shows the notice and gives back its highest block, adding nothing.
    virtual CDataBlock* AddBlock(DWORD nStart, DWORD nSize, DATA_INFO* pSet, CDataBlock* pSibling);
    virtual void DeleteBlock(CDataBlock* pBlock, DATA_INFO* pSet);
    virtual void DeleteAllBlocks(DATA_INFO* pSet);
    virtual DWORD GetMemoryUsedInRange(DWORD nFrom, DWORD nTo, DATA_INFO* pSet);
    // A block after nIndex that is more recent than it and covers something from nAddress on.
    virtual CDataBlock* CheckForMoreRecentBlock(int nIndex, DWORD nAddress, DATA_INFO* pSet);
    // Last block whose end is below nAddress; -1 if none.
    virtual int FindBlockBeforeAddress(DWORD nAddress, DATA_INFO* pSet);
    // First block whose start is above nAddress; -1 if none.
    virtual int FindBlockAfterAddress(DWORD nAddress, DATA_INFO* pSet);
    virtual int FindBlockIndex(CDataBlock* pBlock, DATA_INFO* pSet);
    // The caller makes room for one more entry first (DATA_INFO::MakeRoom).
    virtual void AddToPointerArray(DATA_INFO* pSet, CDataBlock* pBlock, int nIndex);
    virtual void RemoveFromPointerArray(DATA_INFO* pSet, int nIndex);
    virtual int GetNextMemoryRangeByIndex(int nIndex, DWORD nFrom, DWORD* pFirst, DWORD* pLast, DATA_INFO* pSet);
    // Rebuilds the range set over [nFrom, nTo] from what the data set still holds there.
    virtual void UpdateRangeInfo(DWORD nFrom, DWORD nTo, DATA_INFO* pData, DATA_INFO* pRanges);

public:
    void PopupSaveEndMessage();
    void PopupLoadEndMessage();
    // Index of the last area that joins area nIndex when written in aligned
    // units; H'FFFFFFFF for an index outside the table.
    DWORD GetLastContiguousDataArea(DWORD nIndex, unsigned short nAlignment);

    // Blank-run splitting of image data.
    void SetBlankThreshold(DWORD nThreshold) { m_nBlankThreshold = nThreshold; }
    DWORD GetBlankThreshold() const { return m_nBlankThreshold; }
    void SetUseThreshold(BOOL bUse) { m_bUseThreshold = bUse; }
    BOOL GetUseThreshold() const { return m_bUseThreshold; }
    // The area table: written areas of the image, in address order.
    int GetAreaCount() const { return static_cast<int>(m_Areas.size()); }
    bool GetArea(int nIndex, DWORD* pFirst, DWORD* pLast) const;

protected:
    struct IMAGE_AREA
    {
        DWORD first;
        DWORD last;
    };

    CTieredArray<IMAGE_AREA> m_Areas;
    DWORD m_nBlankThreshold = 1;
    BOOL m_bUseThreshold = FALSE;
    bool m_bUploadedData = false;
    BOOL m_bDynamic;
    DWORD m_nByteAlignment = 1;
    DWORD m_nStartAddress = 0;
    DWORD m_nImageSize;
    DWORD m_nMemoryUsed = 0;
    DATA_INFO m_ImageData;
    DATA_INFO m_FileLoadRanges;
    DATA_INFO m_UndoData;
    DATA_INFO m_RedoData;
    DATA_INFO m_UndoRanges;
    DATA_INFO m_RedoRanges;

private:
    struct HISTORY_SETS
    {
        DATA_INFO* pRanges;      // ranges of the set being taken from
        DATA_INFO* pOtherData;   // where what is replaced goes
        DATA_INFO* pOtherRanges;
    };

    int RecordArea(DWORD nAddress, DWORD nLength);
    std::size_t FirstAreaEndingAtOrAfter(DWORD nAddress) const;
    std::size_t FirstAreaStartingAbove(DWORD nAddress) const;
    int RemoveArea(DWORD nAddress, DWORD nLength);

    std::uint64_t WindowEnd() const { return std::uint64_t(m_nStartAddress) + m_nImageSize; }
    bool RangeInWindow(DWORD nAddress, DWORD nLength) const;
    void GrowWindow(std::uint64_t nBegin, std::uint64_t nEnd);
    DWORD CapSize(std::uint64_t nSize, DWORD nStart) const;
    void DeleteFromAllSets(DWORD nFrom, DWORD nTo);

    bool IsLayered(const DATA_INFO* pSet) const { return pSet == &m_UndoData || pSet == &m_RedoData; }
    bool CarriesData(const DATA_INFO* pSet) const { return pSet == &m_ImageData || IsLayered(pSet); }
    bool GetHistorySets(DATA_INFO* pSet, HISTORY_SETS& sets);

    // AddBlock that reports a full set as nullptr.
    CDataBlock* NewBlock(DWORD nStart, DWORD nSize, DATA_INFO* pSet, CDataBlock* pSibling);
    int InsertPosition(DWORD nStart, DWORD nCounter, bool bSibling, DATA_INFO* pSet);
    void TrimBlock(CDataBlock* pBlock, DWORD nFirst, DWORD nLast, DATA_INFO* pSet);
    // Index of the first entry that could cover nAddress.
    int FirstPossiblyCovering(DWORD nAddress, DATA_INFO* pSet);
    // Index of the most recent block covering nAddress; -1 if none.
    int TopBlockIndex(DWORD nAddress, DATA_INFO* pSet);
    // Moves nAddress to the next covered address in [nAddress, nTo] and gives the
    // top block there and how far it stays on top; -1 when nothing is left.
    int NextLayerPiece(std::uint64_t& nAddress, DWORD nTo, DATA_INFO* pSet, DWORD& nPieceEnd);
    // Adds one history block (joining pGeneration, or starting a new generation)
    // and its range; returns the generation's first block.
    CDataBlock* StoreLayer(DWORD nAddress, DWORD nLength, const BYTE* pBytes, DATA_INFO* pData,
                           DATA_INFO* pRanges, CDataBlock* pGeneration);
    void TakeNewestGeneration(DATA_INFO* pSet);
    void TakeAllGenerations(DATA_INFO* pSet);
    void TakeRange(DWORD nAddress, DWORD nLength, DATA_INFO* pSet);
    void TakeAllInRange(DWORD nAddress, DWORD nLength, DATA_INFO* pSet);
    void DropLayers(DWORD nAddress, DWORD nLength, DATA_INFO* pSet, bool bAll);
    // The data range containing or following nFrom, followed no further than nLimit.
    bool NoteDataRange(DWORD nFrom, DWORD nLimit, DWORD& nFirst, DWORD& nLast);
    // Reports every data range; false when there is none.
    bool ReportDataRanges();
};
