#include "ProductionLog.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

std::string CProductionLog::Format(const SProductionRecord& r)
{
    const std::string eol = "\r\n";
    const std::string stars(80, '*');
    std::string t = stars + eol + stars + eol;
    if (!r.strJob.empty())
        t += "Job Number : " + r.strJob + eol;
    if (!r.strOperator.empty())
        t += "Operator Name : " + r.strOperator + eol;
    t += "Port : " + r.strPort + eol;
    if (!r.strDevice.empty())
        t += "Device : " + r.strDevice + eol;
    if (!r.strSerial.empty())
        t += "Unit Serial : " + r.strSerial + eol;
    if (r.bTimestamps) {
        char when[128] = "";
        std::tm local{};
        localtime_r(&r.tStarted, &local);
        std::strftime(when, sizeof when, "%A, %B %d, %Y  %H:%M:%S", &local);
        t += std::string("Started : ") + when + eol;
    }
    if (r.nRetries > 0)
        t += "Retries : " + std::to_string(r.nRetries) + eol;
    if (r.qwSkipped > 0)
        t += "Bytes Skipped : " + std::to_string(r.qwSkipped) + eol;
    if (!r.bOK) {
        if (!r.strReason.empty())
            t += "Reason : " + r.strReason + eol;
        return t + "Result : FLASH Programming Failed." + eol + eol + eol;
    }
    t += r.bAlreadyProgrammed ? "Result : FLASH Already Programmed." + eol : "Result : FLASH Programming OK." + eol;
    if (r.bTimestamps)
        t += "Elapsed time : " + std::to_string(r.lElapsedSeconds) + " seconds " + eol;
    return t + eol + eol;
}

bool CProductionLog::Append(const std::string& path, const SProductionRecord& r, std::string* pError)
{
    const std::string text = Format(r);
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) {
        *pError = "cannot open the job log '" + path + "': " + std::strerror(errno);
        return false;
    }
    bool ok = ::flock(fd, LOCK_EX) == 0;
    for (size_t done = 0; ok && done < text.size();) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        ok = n > 0;
        done += n > 0 ? static_cast<size_t>(n) : 0;
    }
    ok = ok && ::fsync(fd) == 0;
    if (!ok)
        *pError = "cannot write the job log '" + path + "': " + std::strerror(errno);
    ::close(fd);
    return ok;
}
