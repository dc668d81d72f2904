#pragma once
// Everything the tool shows goes through one console: library messages, its
// own errors, the progress display, questions and JSON events. Messages and
// progress go to stderr so that stdout carries only command output (tables,
// or one JSON object per line with --json).
#include <cstdio>
#include <mutex>
#include <string>

#include <nlohmann/json.hpp>

#include "platform/HostUI.h"

enum eOutputMode { omTerminal, omPlain, omJson };
enum eVerbosity { vbQuiet, vbNormal, vbVerbose };

struct SProgressState
{
    std::string text;
    unsigned long low = 0;
    unsigned long high = 100;
    unsigned long position = 0;

    int Percent() const;
    // A range other than 0..100 counts bytes (the library's write and read passes).
    bool CountsBytes() const { return high - low != 100 && high > low; }
};

class CConsole
{
public:
    CConsole(FILE* pOut, FILE* pErr, eOutputMode mode, eVerbosity verbosity, bool bColour, int nWidth = 80);
    CConsole(const CConsole&) = delete;
    CConsole& operator=(const CConsole&) = delete;

    eOutputMode GetMode() const { return m_eMode; }
    eVerbosity GetVerbosity() const { return m_eVerbosity; }

    // A message that reached the end of a status chain (text resolved).
    void Message(eStatusKind kind, const CString& text, unsigned nID);
    // The tool's own error: what went wrong and, where there is one, what to do.
    void Error(const std::string& text, const std::string& hint = {});
    void Note(const std::string& text);
    // Whether an error has been shown, and the last plain message or warning
    // (a failure the library only mentioned in passing still gets its error line).
    bool ShowedError() const { return ErrorCount() > 0; }
    std::string LastMessage() const;
    // elapsed: seconds since the progress text last changed (for the rate).
    void Progress(const SProgressState& state, double elapsed);
    // Takes the bar off the screen; the next Progress starts afresh.
    void EndProgress();
    void Question(const CString& text, eQueryType style, eQueryType answer, const char* pszBy);
    // Shows a question on stderr for a person to answer.
    void Prompt(const std::string& text);
    // The question's line is over: ended by the person's Enter, or by a new
    // line here when no answer came (end of input, a cancel).
    void EndPrompt(bool bEndedByPerson);
    // Command output on stdout; suppressed in JSON mode (the result carries it).
    void Print(const std::string& line);
    // One JSON object per line on stdout; ignored unless in JSON mode.
    void Event(nlohmann::json event);
    // A failed run's result carries the last error shown as its reason.
    void Result(const std::string& command, int code, nlohmann::json data);
    // How many `error:` lines have been shown so far.
    int ErrorCount() const;

    static const char* StyleName(eQueryType style);
    static const char* AnswerName(eQueryType answer);
    // "512 B", "12.0 KiB", "3.25 MiB".
    static std::string FormatBytes(double bytes);

private:
    void ClearBarLocked();
    void RedrawBarLocked();
    void WriteLineLocked(FILE* pTo, const std::string& line);
    std::string Paint(const char* pszCode, const std::string& text) const;
    std::string RenderBar(const SProgressState& state, double elapsed) const;

    mutable std::mutex m_mutex;
    FILE* m_pOut;
    FILE* m_pErr;
    eOutputMode m_eMode;
    eVerbosity m_eVerbosity;
    bool m_bColour;
    int m_nWidth;
    bool m_bBarShown = false;
    std::string m_strLastMessage;
    // A person is typing an answer: the bar keeps off their line until the answer is in.
    bool m_bPrompting = false;
    // The question's line still waits for the person's Enter: a line written
    // meanwhile (the cancel's warning) starts on a line of its own.
    bool m_bPromptLineOpen = false;
    std::string m_strBar;
    std::string m_strLastText;
    int m_nErrors = 0;
    std::string m_strLastError;
    std::string m_strLastHint;
    int m_nLastPercent = -1;
};
