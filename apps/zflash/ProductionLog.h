#pragma once
// The production job log when several targets are programmed at once: one
// record per target, each appended whole under an exclusive lock, so records
// of jobs running side by side (or in other processes) never interleave.
#include <ctime>
#include <string>

struct SProductionRecord
{
    std::string strJob;
    std::string strOperator;
    bool bTimestamps = false;
    std::string strPort;
    std::string strDevice;
    std::string strSerial;          // empty: no unit number
    std::time_t tStarted = 0;
    long lElapsedSeconds = 0;
    bool bOK = false;
    bool bAlreadyProgrammed = false;
    std::string strReason;          // why it failed
    int nRetries = 0;
    unsigned long long qwSkipped = 0;
};

class CProductionLog
{
public:
    // The record's text: the library's job record layout (CR LF line ends)
    // with the target's port, device, unit number, retries and skipped bytes.
    static std::string Format(const SProductionRecord& r);
    // Appends it to path; false with the reason in *pError.
    static bool Append(const std::string& path, const SProductionRecord& r, std::string* pError);
};
