#pragma once
// The settings of one production job, filled in by the host.
#include "platform/Object.h"
#include "platform/String.h"
#include "platform/Types.h"

class COTPConfig : public CObject
{
public:
    COTPConfig() = default;
    COTPConfig(const CString& logFile, const CString& jobNumber, const CString& operatorName, bool bTimeStamps);

    // Path of the job log; empty means no log.
    CString m_strLogFile;
    // Written to the log and shown; empty means none.
    CString m_strJobNumber;
    // Written to the log; empty means none.
    CString m_strOperatorName;
    // Write the start date and time and the elapsed time.
    BYTE m_bTimeStamps = 0;
};
