#pragma once
// Wall-clock time for reports and logs; a monotonic millisecond tick and sleep.
#include <ctime>

#include "platform/String.h"
#include "platform/Types.h"

class CTime
{
public:
    CTime() = default;
    explicit CTime(std::time_t t) : m_time(t) {}

    static CTime GetCurrentTime();
    // strftime format, local time.
    CString Format(const char* pszFormat) const;
    std::time_t GetTime() const { return m_time; }
    int GetYear() const;
    int GetMonth() const;
    int GetDay() const;
    int GetHour() const;
    int GetMinute() const;
    int GetSecond() const;

    friend double operator-(const CTime& a, const CTime& b) { return std::difftime(a.m_time, b.m_time); }

private:
    std::tm Local() const;
    std::time_t m_time = 0;
};

// Milliseconds from a monotonic clock; wraps at 2^32 like the tick count it replaces.
DWORD GetTickCount();
void Sleep(DWORD nMilliseconds);
