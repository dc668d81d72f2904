#pragma once
// One contiguous run of image bytes (CDataBlock) and one set of such runs
// (DATA_INFO): the blocks ordered by start address, and the same blocks in the
// order they arrived, newest at the tail.
#include <memory>

#include "image/TieredArray.h"
#include "platform/Types.h"

class CDataBlock
{
public:
    // No buffer yet; it is made, filled with H'FF, on first access.
    CDataBlock(DWORD nStart, DWORD nSize);
    // Copies carry the chain links and counter as they are, and a buffer of their own.
    CDataBlock(const CDataBlock& other);
    CDataBlock& operator=(const CDataBlock& other);
    virtual ~CDataBlock();

    DWORD GetStartAddress() const { return m_nStart; }
    DWORD GetEndAddress() const { return m_nStart + m_nSize - 1; }
    DWORD GetSizeOfData() const { return m_nSize; }
    CDataBlock* GetNextBlockIn() const { return m_pNext; }
    CDataBlock* GetPreviousBlockIn() const { return m_pPrevious; }
    void SetNextBlockIn(CDataBlock* pNext) { m_pNext = pNext; }
    void SetPreviousBlockIn(CDataBlock* pPrevious) { m_pPrevious = pPrevious; }
    DWORD GetCounter() const { return m_nCounter; }
    void SetCounter(DWORD nCounter) { m_nCounter = nCounter; }

    // The byte at nAddress inside the buffer (made on demand); nullptr outside the block.
    BYTE* GetData(DWORD nAddress);
    // Copies only when the whole range lies inside the block.
    void SetData(DWORD nAddress, DWORD nLength, const BYTE* pBytes);
    // Keeps the bytes at the front.
    void SetSizeOfData(DWORD nSize);
    // Moves the start while every byte keeps its address; the end stays. A start
    // beyond the end would leave no block and is ignored.
    void SetStartAddress(DWORD nStart);

    // Whether the buffer has been made (a block never touched reads as H'FF).
    bool HasData() const { return m_pData != nullptr; }

private:
    DWORD m_nStart;
    DWORD m_nSize;
    std::unique_ptr<BYTE[]> m_pData;
    CDataBlock* m_pNext = nullptr;
    CDataBlock* m_pPrevious = nullptr;
    DWORD m_nCounter = 0;
};

// One block set. It owns its blocks; CBinaryImage does all the changing.
struct DATA_INFO
{
    // Most blocks one set can hold.
    static constexpr int kMaxBlocks = 0x20000;

    DATA_INFO() = default;
    DATA_INFO(const DATA_INFO&) = delete;
    DATA_INFO& operator=(const DATA_INFO&) = delete;
    ~DATA_INFO();

    int GetCount() const { return static_cast<int>(m_Blocks.size()); }
    CDataBlock* GetAt(int nIndex) const { return m_Blocks[static_cast<size_t>(nIndex)]; }
    // Makes sure one more entry fits in m_Blocks; false when the set is full.
    bool MakeRoom();
    // Gives back the storage of an empty set.
    void ReleaseStorage();

    // Newest block of the arrival chain; nullptr when empty.
    CDataBlock* m_pLast = nullptr;
    // Address-ordered entries. The storage grows on demand (up to kMaxBlocks)
    // so that an empty set costs next to nothing, and an entry goes in
    // anywhere without moving all those after it.
    CTieredArray<CDataBlock*> m_Blocks;
    // Generation given to the next block that starts its own.
    DWORD m_nNextCounter = 0;
    // Longest block added since the set was last emptied: bounds how far below
    // an address a block covering it can start, where layers overlap.
    DWORD m_nLongest = 0;
};
