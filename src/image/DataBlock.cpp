#include "image/DataBlock.h"

#include <algorithm>
#include <cstring>

CDataBlock::CDataBlock(DWORD nStart, DWORD nSize) : m_nStart(nStart), m_nSize(nSize) {}

CDataBlock::CDataBlock(const CDataBlock& other)
    : m_nStart(other.m_nStart), m_nSize(other.m_nSize), m_pNext(other.m_pNext), m_pPrevious(other.m_pPrevious),
      m_nCounter(other.m_nCounter)
{
    if (other.m_pData) {
        m_pData.reset(new BYTE[m_nSize]);
        std::memcpy(m_pData.get(), other.m_pData.get(), m_nSize);
    }
}

CDataBlock& CDataBlock::operator=(const CDataBlock& other)
{
    if (this == &other)
        return *this;
    std::unique_ptr<BYTE[]> pData;
    if (other.m_pData) {
        pData.reset(new BYTE[other.m_nSize]);
        std::memcpy(pData.get(), other.m_pData.get(), other.m_nSize);
    }
    m_nStart = other.m_nStart;
    m_nSize = other.m_nSize;
    m_pData = std::move(pData);
    m_pNext = other.m_pNext;
    m_pPrevious = other.m_pPrevious;
    m_nCounter = other.m_nCounter;
    return *this;
}

CDataBlock::~CDataBlock() = default;

BYTE* CDataBlock::GetData(DWORD nAddress)
{
    if (nAddress < m_nStart || nAddress - m_nStart >= m_nSize)
        return nullptr;
    if (!m_pData) {
        m_pData.reset(new BYTE[m_nSize]);
        std::memset(m_pData.get(), 0xFF, m_nSize);
    }
    return m_pData.get() + (nAddress - m_nStart);
}

void CDataBlock::SetData(DWORD nAddress, DWORD nLength, const BYTE* pBytes)
{
    if (!pBytes || nLength == 0 || nAddress < m_nStart)
        return;
    if (static_cast<std::uint64_t>(nAddress - m_nStart) + nLength > m_nSize)
        return;
    // memmove: the source may be this block's own buffer.
    std::memmove(GetData(nAddress), pBytes, nLength);
}

void CDataBlock::SetSizeOfData(DWORD nSize)
{
    if (m_pData) {
        std::unique_ptr<BYTE[]> pNew(new BYTE[nSize]);
        std::memset(pNew.get(), 0xFF, nSize);
        std::memcpy(pNew.get(), m_pData.get(), std::min(nSize, m_nSize));
        m_pData = std::move(pNew);
    }
    m_nSize = nSize;
}

void CDataBlock::SetStartAddress(DWORD nStart)
{
    if (m_nSize == 0) {
        m_nStart = nStart;
        return;
    }
    const DWORD nEnd = GetEndAddress();
    if (nStart > nEnd)
        return;
    const DWORD nNewSize = nEnd - nStart + 1;
    if (m_pData) {
        std::unique_ptr<BYTE[]> pNew(new BYTE[nNewSize]);
        std::memset(pNew.get(), 0xFF, nNewSize);
        const DWORD nFirstKept = std::max(nStart, m_nStart);
        std::memcpy(pNew.get() + (nFirstKept - nStart), m_pData.get() + (nFirstKept - m_nStart),
                    nEnd - nFirstKept + 1);
        m_pData = std::move(pNew);
    }
    m_nStart = nStart;
    m_nSize = nNewSize;
}

DATA_INFO::~DATA_INFO()
{
    for (int i = 0; i < GetCount(); ++i)
        delete GetAt(i);
}

bool DATA_INFO::MakeRoom()
{
    return GetCount() < kMaxBlocks;
}

void DATA_INFO::ReleaseStorage()
{
    m_Blocks.Release();
}
