#include "ExitCode.h"

#include <cstdio>

namespace {
constexpr SExitCodeInfo kExitCodes[] = {
    {ecSuccess, "success", "success"},
    {ecNotBlank, "not-blank", "not blank (blank)"},
    {ecUsage, "usage-error", "usage error"},
    {ecFile, "file-error", "file error"},
    {ecConnection, "connection-failed", "connection failed"},
    {ecErase, "erase-failed", "erase failed"},
    {ecWrite, "write-failed", "write failed"},
    {ecVerify, "verify-failed", "verify failed"},
    {ecRead, "read-failed", "read failed"},
    {ecAnswerNeeded, "answer-needed", "a question needs an answer"},
    {ecNotAvailable, "not-available", "not available in this build"},
    {ecSomeFailed, "some-targets-failed", "some targets of a gang run failed"},
    {ecCancelled, "cancelled", "cancelled (Ctrl-C)"},
};
} // namespace

std::span<const SExitCodeInfo> ExitCodes()
{
    return kExitCodes;
}

const char* ExitCodeName(int code)
{
    for (const SExitCodeInfo& e : kExitCodes)
        if (e.nCode == code)
            return e.pszName;
    return "internal-error";
}

std::string ExitCodesHelp()
{
    std::string text = "Exit codes:\n";
    for (const SExitCodeInfo& e : kExitCodes) {
        char line[96];
        std::snprintf(line, sizeof line, "%3d %s\n", e.nCode, e.pszText);
        text += line;
    }
    return text;
}
