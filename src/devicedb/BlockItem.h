#pragma once
// One FLASH erase block of a device definition.
#include <cstdint>

#include "platform/Object.h"
#include "platform/String.h"
#include "platform/Types.h"

class CBlockItem : public CObject
{
    ZF_DECLARE_DYNAMIC(CBlockItem)
public:
    CBlockItem() = default;
    CBlockItem(const CString& name, long lStart, long lSize, BYTE ebr0, BYTE ebr1, BYTE ebr2);
    // Copies name, start, size and the three EBR values; the block starts neither written nor requested.
    explicit CBlockItem(const CBlockItem* pSource);
    ~CBlockItem() override = default;

    void Serialize(CArchive& ar) override;

    // Start and size are signed 32-bit: an address is taken as its low 32 bits
    // (so H'FFFF8000 is the same address whichever width the caller holds it in).
    bool IsBlockAddress(long lAddress) const;
    // True when [lFrom, lTo] touches the block.
    bool IsBlockAddress(long lFrom, long lTo) const;

    // Name, start, size and EBR values equal (the state flags are not compared).
    bool HasSameDefinition(const CBlockItem& other) const;

    CString m_strBlockName;
    std::int32_t m_lStart = 0;
    std::int32_t m_lSize = 0;
    BYTE m_byEBR0 = 0;
    BYTE m_byEBR1 = 0;
    BYTE m_byEBR2 = 0;
    // Holds data (not blank): set by writes, set or cleared by blank checks, cleared by erasing.
    BYTE m_bWritten = 0;
    // An image to be written touches this written block; never stored.
    BOOL m_bEraseRequest = 0;
};
