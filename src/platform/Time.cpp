#include "platform/Time.h"

#include <chrono>
#include <thread>

CTime CTime::GetCurrentTime()
{
    return CTime(std::time(nullptr));
}

std::tm CTime::Local() const
{
    std::tm tm{};
    localtime_r(&m_time, &tm);
    return tm;
}

CString CTime::Format(const char* pszFormat) const
{
    if (!pszFormat || !*pszFormat)
        return {};
    const std::tm tm = Local();
    char buf[512];
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral" // the caller's format is the point of Format
    const std::size_t n = std::strftime(buf, sizeof buf, pszFormat, &tm);
#pragma GCC diagnostic pop
    return CString(buf, static_cast<int>(n));
}

int CTime::GetYear() const { return Local().tm_year + 1900; }
int CTime::GetMonth() const { return Local().tm_mon + 1; }
int CTime::GetDay() const { return Local().tm_mday; }
int CTime::GetHour() const { return Local().tm_hour; }
int CTime::GetMinute() const { return Local().tm_min; }
int CTime::GetSecond() const { return Local().tm_sec; }

DWORD GetTickCount()
{
    using namespace std::chrono;
    return static_cast<DWORD>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

void Sleep(DWORD nMilliseconds)
{
    if (nMilliseconds == 0)
        std::this_thread::yield();
    else
        std::this_thread::sleep_for(std::chrono::milliseconds(nMilliseconds));
}
