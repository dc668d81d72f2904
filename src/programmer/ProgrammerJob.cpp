// One production job: write, disconnect and append the job's record to its log.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/Time.h"
#include "programmer/FLASHProgrammer.h"
#include "programmer/OTPConfig.h"

namespace {
// The job log: appended to, held exclusively while the job runs.
class CJobLog
{
public:
    CJobLog() = default;
    CJobLog(const CJobLog&) = delete;
    CJobLog& operator=(const CJobLog&) = delete;
    ~CJobLog() { Close(); }

    bool Open(const CString& path)
    {
        m_fd = ::open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (m_fd < 0) {
            m_nError = errno;
            return false;
        }
        if (::flock(m_fd, LOCK_EX | LOCK_NB) != 0) {
            m_nError = errno;
            Close();
            return false;
        }
        return true;
    }
    bool IsOpen() const { return m_fd >= 0; }
    int GetError() const { return m_nError; }

    // Lines end with CR LF whatever the host's convention.
    void Line(const CString& text = CString())
    {
        Write(text);
        Write("\r\n");
    }
    void Close()
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
    }

private:
    void Write(const CString& text)
    {
        const char* p = text;
        size_t n = static_cast<size_t>(text.GetLength());
        while (m_fd >= 0 && n > 0) {
            const ssize_t k = ::write(m_fd, p, n);
            if (k < 0 && errno == EINTR)
                continue;
            if (k <= 0)
                return;
            p += k;
            n -= static_cast<size_t>(k);
        }
    }

    int m_fd = -1;
    int m_nError = 0;
};
} // namespace

bool CFLASHProgrammer::OTPWriteFLASH(CFLASHBinaryImage* pImage, COTPConfig* pConfig)
{
    CSingleLock lock(m_pLock, true);
    const CTime start = CTime::GetCurrentTime();
    const DWORD nStartTick = GetTickCount();
    const CString stars('*', 80);
    const bool bTimeStamps = pConfig && pConfig->m_bTimeStamps;

    CJobLog log;
    if (pConfig && !pConfig->m_strLogFile.IsEmpty()) {
        if (!log.Open(pConfig->m_strLogFile)) {
            DisplayError("Unable to open log file", 0);
            if (log.GetError() != 0)
                DisplayMessage("'" + pConfig->m_strLogFile + "': " + std::strerror(log.GetError()), 0);
        } else {
            log.Line(stars);
            log.Line(stars);
            if (!pConfig->m_strJobNumber.IsEmpty()) {
                DisplayTaskMessage("Message log for job number " + pConfig->m_strJobNumber + "....", 0);
                log.Line("Job Number : " + pConfig->m_strJobNumber);
            }
            if (!pConfig->m_strOperatorName.IsEmpty())
                log.Line("Operator Name : " + pConfig->m_strOperatorName);
            if (bTimeStamps)
                log.Line("Started : " + start.Format("%A, %B %d, %Y  %H:%M:%S"));
        }
    }

    if (!WriteImage(pImage)) {
        if (log.IsOpen()) {
            log.Line("Result : FLASH Programming Failed.");
            log.Line();
            log.Line();
        }
        Disconnect(0, 1);
        return false;
    }
    log.Line("Result : FLASH Programming OK.");
    const bool bDisconnected = Disconnect(0, 0);
    if (!bDisconnected)
        log.Line("Disconnect failed");
    if (bTimeStamps) {
        CString elapsed;
        elapsed.Format("Elapsed time : %ld seconds ", static_cast<long>((GetTickCount() - nStartTick) / 1000));
        log.Line(elapsed);
    }
    log.Line();
    log.Line();
    log.Close();
    DisplaySuccessMessage("OTP operation completed successfully", 0);
    return true;
}
