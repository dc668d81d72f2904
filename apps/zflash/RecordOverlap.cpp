#include "RecordOverlap.h"

#include <algorithm>
#include <cstring>
#include <iterator>

bool CRecordOverlap::Add(DWORD nAddress, const BYTE* pBytes, DWORD nLength, DWORD* pAddress)
{
    if (nLength == 0)
        return true;
    const unsigned long long begin = nAddress;
    const unsigned long long end = begin + nLength;
    // The first run that overlaps or touches [begin, end).
    auto first = m_Runs.upper_bound(begin);
    if (first != m_Runs.begin() && std::prev(first)->first + std::prev(first)->second.size() >= begin)
        --first;
    bool same = true;
    auto last = first;
    unsigned long long runsEnd = end;
    unsigned long long touched = 0;
    for (; last != m_Runs.end() && last->first <= end; ++last) {
        const unsigned long long runEnd = last->first + last->second.size();
        const unsigned long long from = std::max(begin, last->first);
        const unsigned long long to = std::min(end, runEnd);
        for (unsigned long long a = from; same && a < to; ++a) {
            if (last->second[a - last->first] != pBytes[a - begin]) {
                same = false;
                if (pAddress)
                    *pAddress = static_cast<DWORD>(a);
            }
        }
        runsEnd = std::max(runsEnd, runEnd);
        touched += last->second.size();
    }
    if (first == last) {
        m_Runs.emplace_hint(first, begin, std::vector<BYTE>(pBytes, pBytes + nLength));
        m_nBytes += nLength;
        return true;
    }
    // Everything touched becomes one run; the common case extends the run in place.
    const unsigned long long start = std::min(begin, first->first);
    std::vector<BYTE> merged;
    if (first->first == start)
        merged = std::move(first->second);
    const size_t kept = merged.size();
    merged.resize(runsEnd - start);
    for (auto it = std::next(first, kept ? 1 : 0); it != last; ++it)
        std::memcpy(merged.data() + (it->first - start), it->second.data(), it->second.size());
    std::memcpy(merged.data() + (begin - start), pBytes, nLength);
    m_nBytes = m_nBytes - touched + merged.size();
    m_Runs.erase(first, last);
    m_Runs.emplace(start, std::move(merged));
    return same;
}
