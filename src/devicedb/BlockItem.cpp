#include "devicedb/BlockItem.h"

#include "platform/Archive.h"

ZF_IMPLEMENT_SERIAL(CBlockItem)

namespace {
// Addresses and sizes are 32-bit on the target and kept in signed fields.
// They are stored sign-extended, as the definitions and archives hold them,
std::int64_t Low32(long v)
{
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(static_cast<unsigned long>(v)));
}

// and compared unsigned, in 64 bits, so that a block on either side of 2 GiB,
// across it or reaching the top of the range neither wraps nor changes sign.
std::uint64_t Address32(long v)
{
    return static_cast<std::uint32_t>(static_cast<unsigned long>(v));
}
} // namespace

CBlockItem::CBlockItem(const CString& name, long lStart, long lSize, BYTE ebr0, BYTE ebr1, BYTE ebr2)
    : m_strBlockName(name), m_lStart(static_cast<std::int32_t>(Low32(lStart))),
      m_lSize(static_cast<std::int32_t>(Low32(lSize))), m_byEBR0(ebr0), m_byEBR1(ebr1), m_byEBR2(ebr2)
{
}

CBlockItem::CBlockItem(const CBlockItem* pSource)
{
    if (!pSource)
        return;
    m_strBlockName = pSource->m_strBlockName;
    m_lStart = pSource->m_lStart;
    m_lSize = pSource->m_lSize;
    m_byEBR0 = pSource->m_byEBR0;
    m_byEBR1 = pSource->m_byEBR1;
    m_byEBR2 = pSource->m_byEBR2;
}

void CBlockItem::Serialize(CArchive& ar)
{
    if (ar.IsStoring()) {
        ar << m_strBlockName << static_cast<int>(m_lStart) << static_cast<int>(m_lSize) << m_byEBR0 << m_byEBR1
           << m_byEBR2;
        return;
    }
    int start = 0, size = 0;
    ar >> m_strBlockName >> start >> size >> m_byEBR0 >> m_byEBR1 >> m_byEBR2;
    m_lStart = start;
    m_lSize = size;
}

bool CBlockItem::IsBlockAddress(long lAddress) const
{
    const std::uint64_t a = Address32(lAddress);
    return Address32(m_lStart) <= a && a < Address32(m_lStart) + Address32(m_lSize);
}

bool CBlockItem::IsBlockAddress(long lFrom, long lTo) const
{
    return Address32(lTo) >= Address32(m_lStart) && Address32(lFrom) < Address32(m_lStart) + Address32(m_lSize);
}

bool CBlockItem::HasSameDefinition(const CBlockItem& other) const
{
    return m_strBlockName == other.m_strBlockName && m_lStart == other.m_lStart && m_lSize == other.m_lSize &&
           m_byEBR0 == other.m_byEBR0 && m_byEBR1 == other.m_byEBR1 && m_byEBR2 == other.m_byEBR2;
}
