#include "programmer/OTPConfig.h"

COTPConfig::COTPConfig(const CString& logFile, const CString& jobNumber, const CString& operatorName,
                       bool bTimeStamps)
    : m_strLogFile(logFile), m_strJobNumber(jobNumber), m_strOperatorName(operatorName),
      m_bTimeStamps(bTimeStamps ? 1 : 0)
{
}
