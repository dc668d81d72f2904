#include "protocol/FunctionMap.h"

int CFLASHFunctionMap::EntryOf(eFLASHFunction function)
{
    switch (function) {
    case fnWrite:
        return 0;
    case fnErase:
        return 1;
    case fnRead:
        return 2;
    case fnCheckBlank:
        return 3;
    default:
        return -1;
    }
}

WORD CFLASHFunctionMap::GetEntry(int nIndex) const
{
    return nIndex >= 0 && nIndex < kEntries ? m_wEntries[nIndex] : 0;
}

void CFLASHFunctionMap::SetEntry(int nIndex, WORD wValue)
{
    if (nIndex >= 0 && nIndex < kEntries)
        m_wEntries[nIndex] = wValue;
}

void CFLASHFunctionMap::Invalidate()
{
    for (int i = 0; i < kModuleEntries; ++i)
        m_wEntries[i] = 0;
}

int CFLASHFunctionMap::GetUsedCount() const
{
    int count = kEntries;
    while (count > 0 && m_wEntries[count - 1] == 0)
        --count;
    return count;
}
