#include "ExitCode.h"

const char* ExitCodeName(int code)
{
    switch (code) {
    case ecSuccess: return "success";
    case ecNotBlank: return "not-blank";
    case ecUsage: return "usage-error";
    case ecFile: return "file-error";
    case ecConnection: return "connection-failed";
    case ecErase: return "erase-failed";
    case ecWrite: return "write-failed";
    case ecVerify: return "verify-failed";
    case ecRead: return "read-failed";
    case ecAnswerNeeded: return "answer-needed";
    case ecNotAvailable: return "not-available";
    case ecSomeFailed: return "some-targets-failed";
    case ecCancelled: return "cancelled";
    default: return "internal-error";
    }
}
