#include "Console.h"

#include <algorithm>
#include <cmath>

#include "ExitCode.h"

int SProgressState::Percent() const
{
    if (high <= low || position <= low)
        return 0;
    const unsigned long long done = position - low;
    const unsigned long long span = high - low;
    return static_cast<int>(std::min<unsigned long long>(100, done * 100 / span));
}

CConsole::CConsole(FILE* pOut, FILE* pErr, eOutputMode mode, eVerbosity verbosity, bool bColour, int nWidth)
    : m_pOut(pOut), m_pErr(pErr), m_eMode(mode), m_eVerbosity(verbosity), m_bColour(bColour && mode == omTerminal),
      m_nWidth(std::max(nWidth, 40))
{
}

const char* CConsole::StyleName(eQueryType style)
{
    switch (style) {
    case qtNotice: return "notice";
    case qtYesNo: return "yes-no";
    case qtYesNoCancel: return "yes-no-cancel";
    case qtAbortRetryIgnore: return "abort-retry-ignore";
    default: return "other";
    }
}

const char* CConsole::AnswerName(eQueryType answer)
{
    switch (answer) {
    case qtOK: return "ok";
    case qtYes: return "yes";
    case qtNo: return "no";
    case qtCancel: return "cancel";
    case qtAbort: return "abort";
    case qtIgnore: return "ignore";
    default: return "retry";
    }
}

std::string CConsole::FormatBytes(double bytes)
{
    char text[32];
    if (bytes < 1024.0)
        std::snprintf(text, sizeof text, "%.0f B", bytes);
    else if (bytes < 1024.0 * 1024.0)
        std::snprintf(text, sizeof text, "%.1f KiB", bytes / 1024.0);
    else
        std::snprintf(text, sizeof text, "%.2f MiB", bytes / (1024.0 * 1024.0));
    return text;
}

std::string CConsole::Paint(const char* pszCode, const std::string& text) const
{
    if (!m_bColour)
        return text;
    return std::string("\x1b[") + pszCode + "m" + text + "\x1b[0m";
}

void CConsole::ClearBarLocked()
{
    if (m_bBarShown) {
        std::fputs("\r\x1b[K", m_pErr);
        m_bBarShown = false;
    }
}

void CConsole::RedrawBarLocked()
{
    if (m_eMode == omTerminal && !m_strBar.empty() && !m_bPrompting) {
        std::fputs(("\r\x1b[K" + m_strBar).c_str(), m_pErr);
        m_bBarShown = true;
    }
    std::fflush(m_pErr);
}

void CConsole::WriteLineLocked(FILE* pTo, const std::string& line)
{
    if (m_bPromptLineOpen) {
        std::fputc('\n', m_pErr);
        m_bPromptLineOpen = false;
    }
    ClearBarLocked();
    std::fputs(line.c_str(), pTo);
    std::fputc('\n', pTo);
    std::fflush(pTo);
    RedrawBarLocked();
}

std::string CConsole::LastMessage() const
{
    std::lock_guard lock(m_mutex);
    return m_strLastMessage;
}

void CConsole::Message(eStatusKind kind, const CString& text, unsigned nID)
{
    std::lock_guard lock(m_mutex);
    if (kind == skError) {
        ++m_nErrors;
        m_strLastError = text.GetString();
        m_strLastHint.clear();
    } else if (kind == skMessage || kind == skWarning) {
        m_strLastMessage = text.GetString();
    }
    if (m_eMode == omJson) {
        nlohmann::json e = {{"event", "message"}, {"level", StatusKindName(kind)}, {"id", nID}, {"text", text.GetString()}};
        std::fputs((e.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n").c_str(), m_pOut);
        std::fflush(m_pOut);
        return;
    }
    const bool quiet = m_eVerbosity == vbQuiet;
    const bool verbose = m_eVerbosity == vbVerbose;
    std::string line;
    switch (kind) {
    case skError: line = Paint("1;31", "error: ") + text.GetString(); break;
    case skWarning: line = Paint("1;33", "warning: ") + text.GetString(); break;
    case skTask:
        if (quiet)
            return;
        line = Paint("1", std::string("* ") + text.GetString());
        break;
    case skSuccess:
        if (quiet)
            return;
        line = Paint("32", std::string("ok: ") + text.GetString());
        break;
    case skMessage:
        if (quiet)
            return;
        line = std::string("  ") + text.GetString();
        break;
    case skAdvanced:
    case skProperties:
        if (!verbose)
            return;
        line = Paint("2", std::string("  ") + text.GetString());
        break;
    }
    WriteLineLocked(m_pErr, line);
}

void CConsole::Error(const std::string& text, const std::string& hint)
{
    std::lock_guard lock(m_mutex);
    ++m_nErrors;
    m_strLastError = text;
    m_strLastHint = hint;
    if (m_eMode == omJson) {
        nlohmann::json e = {{"event", "message"}, {"level", "error"}, {"id", 0}, {"text", text}};
        if (!hint.empty())
            e["hint"] = hint;
        std::fputs((e.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n").c_str(), m_pOut);
        std::fflush(m_pOut);
        return;
    }
    WriteLineLocked(m_pErr, Paint("1;31", "error: ") + text);
    if (!hint.empty())
        WriteLineLocked(m_pErr, Paint("36", "hint: ") + hint);
}

void CConsole::Note(const std::string& text)
{
    if (m_eVerbosity == vbQuiet && m_eMode != omJson)
        return;
    Message(skMessage, CString(text.c_str()), 0);
}

std::string CConsole::RenderBar(const SProgressState& state, double elapsed) const
{
    const int percent = state.Percent();
    std::string tail;
    char buffer[96];
    std::snprintf(buffer, sizeof buffer, " %3d%%", percent);
    tail = buffer;
    if (state.CountsBytes()) {
        const double done = static_cast<double>(state.position - std::min(state.position, state.low));
        tail += "  " + FormatBytes(done) + " / " + FormatBytes(static_cast<double>(state.high - state.low));
        if (elapsed > 0.2 && done > 0) {
            tail += "  " + FormatBytes(done / elapsed) + "/s";
        }
    }
    // Room for the longest tail is kept whatever this one needs, so the bar does
    // not jump, and the whole line stays one column short of the edge (a wrapped
    // line could not be redrawn in place).
    constexpr int kTailRoom = 47;
    const int room = std::max(0, m_nWidth - 1 - kTailRoom - 3);
    const int labelWidth = std::clamp(room - 10, 12, 30);
    const int barWidth = std::clamp(room - labelWidth, 10, 40);
    // A narrow terminal gets the percentage only.
    if (labelWidth + 3 + barWidth + static_cast<int>(tail.size()) >= m_nWidth)
        tail = buffer;
    std::string label = state.text;
    if (label.size() > static_cast<size_t>(labelWidth))
        label = label.substr(0, static_cast<size_t>(labelWidth) - 3) + "...";
    label.resize(static_cast<size_t>(labelWidth), ' ');
    const int filled = barWidth * percent / 100;
    std::string bar = "[" + std::string(static_cast<size_t>(filled), '#') +
                      std::string(static_cast<size_t>(barWidth - filled), '.') + "]";
    return label + " " + Paint("36", bar) + tail;
}

void CConsole::Progress(const SProgressState& state, double elapsed)
{
    // A step that has not named itself yet has nothing worth a line or a bar.
    if (state.text.empty())
        return;
    std::lock_guard lock(m_mutex);
    const int percent = state.Percent();
    const bool newText = state.text != m_strLastText;
    if (m_eMode == omJson) {
        if (!newText && percent == m_nLastPercent)
            return;
        nlohmann::json e = {{"event", "progress"}, {"text", state.text}, {"percent", percent},
                            {"position", state.position}, {"low", state.low}, {"high", state.high}};
        std::fputs((e.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n").c_str(), m_pOut);
        std::fflush(m_pOut);
    } else if (m_eMode == omPlain) {
        // A log file gets a line per tenth, not a line per poll.
        if (m_eVerbosity != vbQuiet && (newText || percent / 10 != m_nLastPercent / 10)) {
            WriteLineLocked(m_pErr, "progress: " + state.text + " " + std::to_string(percent) + "%");
        }
    } else if (m_eVerbosity != vbQuiet) {
        m_strBar = RenderBar(state, elapsed);
        RedrawBarLocked();
    }
    m_strLastText = state.text;
    m_nLastPercent = percent;
}

void CConsole::EndProgress()
{
    std::lock_guard lock(m_mutex);
    ClearBarLocked();
    std::fflush(m_pErr);
    m_strBar.clear();
    m_strLastText.clear();
    m_nLastPercent = -1;
}

void CConsole::Question(const CString& text, eQueryType style, eQueryType answer, const char* pszBy)
{
    std::lock_guard lock(m_mutex);
    m_bPrompting = false;
    if (m_eMode == omJson) {
        nlohmann::json e = {{"event", "question"}, {"text", text.GetString()}, {"style", StyleName(style)},
                            {"answer", AnswerName(answer)}, {"by", pszBy}};
        std::fputs((e.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n").c_str(), m_pOut);
        std::fflush(m_pOut);
        return;
    }
    if (m_eVerbosity == vbQuiet && std::string(pszBy) != "terminal")
        return;
    std::string flat = text.GetString();
    std::replace(flat.begin(), flat.end(), '\n', ' ');
    WriteLineLocked(m_pErr, Paint("35", "? ") + flat + " -> " + AnswerName(answer) + " (" + pszBy + ")");
}

void CConsole::Prompt(const std::string& text)
{
    std::lock_guard lock(m_mutex);
    ClearBarLocked();
    m_bPrompting = true;
    m_bPromptLineOpen = true;
    std::fputs((Paint("1;35", "? ") + text).c_str(), m_pErr);
    std::fflush(m_pErr);
}

void CConsole::EndPrompt(bool bEndedByPerson)
{
    std::lock_guard lock(m_mutex);
    if (m_bPromptLineOpen && !bEndedByPerson)
        std::fputc('\n', m_pErr);
    std::fflush(m_pErr);
    m_bPromptLineOpen = false;
}

void CConsole::Print(const std::string& line)
{
    if (m_eMode == omJson)
        return;
    std::lock_guard lock(m_mutex);
    WriteLineLocked(m_pOut, line);
}

void CConsole::Event(nlohmann::json event)
{
    if (m_eMode != omJson)
        return;
    std::lock_guard lock(m_mutex);
    std::fputs((event.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n").c_str(), m_pOut);
    std::fflush(m_pOut);
}

void CConsole::Result(const std::string& command, int code, nlohmann::json data)
{
    nlohmann::json e = {{"event", "result"}, {"command", command}, {"exit_code", code}, {"status", ExitCodeName(code)}};
    if (!data.is_null())
        e["data"] = std::move(data);
    if (code != ecSuccess && code != ecNotBlank) {
        std::lock_guard lock(m_mutex);
        e["reason"] = m_strLastError;
        if (!m_strLastHint.empty())
            e["hint"] = m_strLastHint;
    }
    Event(std::move(e));
}

int CConsole::ErrorCount() const
{
    std::lock_guard lock(m_mutex);
    return m_nErrors;
}
