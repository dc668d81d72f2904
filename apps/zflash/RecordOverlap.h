#pragma once
// What the records of one file put at each address, so that two records that
// give one address different bytes are caught, and how many distinct bytes
// the file holds. Runs neither overlap nor touch; records in address order
// only ever grow the last run.
#include <map>
#include <vector>

#include "platform/Types.h"

class CRecordOverlap
{
public:
    // Takes the bytes (a later record wins). False when an earlier record gave
    // one of these addresses another value; *pAddress is the first such address.
    bool Add(DWORD nAddress, const BYTE* pBytes, DWORD nLength, DWORD* pAddress);
    unsigned long long Bytes() const { return m_nBytes; }

private:
    std::map<unsigned long long, std::vector<BYTE>> m_Runs;
    unsigned long long m_nBytes = 0;
};
