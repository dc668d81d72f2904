#pragma once
// The tool's exit codes. Scripts and production lines branch on these, so a
// value, once given, never changes meaning.
#include <span>
#include <string>

enum eExitCode : int {
    ecSuccess = 0,
    ecNotBlank = 1,        // `blank` found data; nothing went wrong
    ecUsage = 2,           // the command line is wrong
    ecFile = 3,            // an image, definition or output file cannot be read or written
    ecConnection = 4,      // the port cannot be opened or the target does not answer
    ecErase = 5,
    ecWrite = 6,
    ecVerify = 7,          // the read-back differs from the image
    ecRead = 8,
    ecAnswerNeeded = 9,    // the library asked a question nobody could answer
    ecNotAvailable = 10,   // the connection type or adapter is not available in this build
    ecSomeFailed = 11,     // a gang run: at least one target failed (the summary says which and why)
    ecCancelled = 130,     // Ctrl-C, as shells report a SIGINT
};

struct SExitCodeInfo
{
    int nCode;
    const char* pszName; // JSON results and the user guide's table
    const char* pszText; // `--help` and the man page
};

// Every exit code, in order: the one list `--help` and the docs are held to.
std::span<const SExitCodeInfo> ExitCodes();
// The code's name; "internal-error" for a value the table does not hold.
const char* ExitCodeName(int code);
// The "Exit codes:" block of `--help`.
std::string ExitCodesHelp();
