#include "ConsoleHost.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <poll.h>
#include <unistd.h>

CConsoleHost::CConsoleHost(CConsole& console, eAnswerPolicy policy, int nInputFd)
    : m_console(console), m_ePolicy(policy), m_nInputFd(nInputFd)
{
}

void CConsoleHost::SetFixedAnswer(const std::string& prefix, eQueryType answer, const std::string& by)
{
    std::lock_guard lock(m_mutex);
    m_Fixed.push_back({prefix, answer, by});
}

int CConsoleHost::FixedAnswerCount(const std::string& prefix)
{
    std::lock_guard lock(m_mutex);
    int n = 0;
    for (const SFixed& f : m_Fixed)
        if (f.prefix == prefix)
            n += f.nCount;
    return n;
}

eQueryType CConsoleHost::ParseReply(const std::string& reply, eQueryType style)
{
    std::string r;
    for (char c : reply)
        if (!std::isspace(static_cast<unsigned char>(c)))
            r += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (style == qtAbortRetryIgnore) {
        if (r == "a" || r == "abort")
            return qtAbort;
        if (r == "r" || r == "retry")
            return qtRetry;
        if (r == "i" || r == "ignore")
            return qtIgnore;
        return qtOK;
    }
    if (r == "y" || r == "yes")
        return qtYes;
    if (r == "n" || r == "no")
        return qtNo;
    if (style == qtYesNoCancel && (r == "c" || r == "cancel"))
        return qtCancel;
    return qtOK;
}

eQueryType CConsoleHost::PolicyAnswer(eAnswerPolicy policy, eQueryType style)
{
    if (style == qtAbortRetryIgnore)
        // A script cannot watch a retry loop: --yes goes on past the problem, --no stops.
        return policy == apYes ? qtIgnore : qtAbort;
    return policy == apYes ? qtYes : qtNo;
}

eQueryType CConsoleHost::SafeAnswer(eQueryType style)
{
    switch (style) {
    case qtYesNoCancel: return qtCancel;
    case qtAbortRetryIgnore: return qtAbort;
    case qtNotice: return qtOK;
    default: return qtNo;
    }
}

bool CConsoleHost::ReadLine(std::string& line)
{
    line.clear();
    for (;;) {
        if (m_bInterrupted)
            return false;
        pollfd p = {m_nInputFd, POLLIN, 0};
        const int n = ::poll(&p, 1, 100);
        if (n < 0 && errno != EINTR)
            return false;
        if (n <= 0)
            continue;
        char c = 0;
        const ssize_t got = ::read(m_nInputFd, &c, 1);
        if (got <= 0)
            return !line.empty();
        if (c == '\n')
            return true;
        line += c;
    }
}

eQueryType CConsoleHost::AskPerson(const CString& text, eQueryType style)
{
    const char* choices = style == qtYesNoCancel ? " [y/n/c] " : style == qtAbortRetryIgnore ? " [a/r/i] " : " [y/n] ";
    for (;;) {
        m_console.Prompt(std::string(text.GetString()) + choices);
        std::string reply;
        const bool answered = ReadLine(reply);
        m_console.EndPrompt(answered);
        if (!answered)
            return SafeAnswer(style);
        const eQueryType answer = ParseReply(reply, style);
        if (answer != qtOK)
            return answer;
    }
}

eQueryType CConsoleHost::AnswerByPolicy(const CString& text, eQueryType style)
{
    const std::string question = text.GetString();
    // A device that never answers would keep a script waiting for ever.
    const bool wait = question.find("keep waiting") != std::string::npos ||
                      question.find("keep looking") != std::string::npos;
    int asked = 0;
    if (wait && m_ePolicy == apYes) {
        std::lock_guard lock(m_mutex);
        asked = ++m_Waits[question];
    }
    if (asked <= kMaxWaits) {
        const eQueryType answer = PolicyAnswer(m_ePolicy, style);
        m_console.Question(text, style, answer, m_ePolicy == apYes ? "--yes" : "--no");
        return answer;
    }
    m_bGaveUp = true;
    m_console.Question(text, style, qtNo, "--yes");
    m_console.Error("the device stayed silent: --yes kept waiting " + std::to_string(kMaxWaits) +
                        " times, then gave up (\"" + question + "\")",
                    "check the cable and the chip's power and mode pins; the EraseTimeout setting sets each wait");
    return qtNo;
}

eQueryType CConsoleHost::MessageBox(const CString& text, eQueryType style, eMessageIcon)
{
    {
        std::lock_guard lock(m_mutex);
        for (SFixed& f : m_Fixed) {
            if (std::string_view(text.GetString()).starts_with(f.prefix)) {
                ++f.nCount;
                // An empty "by" silences a notice the tool replaces with its own message.
                if (!f.by.empty())
                    m_console.Question(text, style, f.answer, f.by.c_str());
                return f.answer;
            }
        }
    }
    if (style == qtNotice) {
        m_console.Message(skMessage, text, 0);
        return qtOK;
    }
    if (m_ePolicy != apAsk)
        return AnswerByPolicy(text, style);
    if (m_nInputFd >= 0 && m_console.GetMode() != omJson) {
        const eQueryType answer = AskPerson(text, style);
        m_console.Question(text, style, answer, "terminal");
        return answer;
    }
    // Nobody to ask: never hang, never guess. The answer that changes nothing,
    // and the run ends with its own exit code.
    const eQueryType answer = SafeAnswer(style);
    m_bUnanswered = true;
    m_console.Question(text, style, answer, "nobody");
    std::string flat = text.GetString();
    std::replace(flat.begin(), flat.end(), '\n', ' ');
    m_console.Error("a question needs an answer: \"" + flat + "\"",
                    "run zflash on a terminal to answer it, or pass --yes or --no");
    return answer;
}

void CConsoleHost::ShowStatus(eStatusKind kind, const CString& text, WORD nID)
{
    m_console.Message(kind, text, nID);
}

void CConsoleSink::Take(eStatusKind kind, const CString& text, WORD nID)
{
    const eStatusKind shown = kind == skError && m_bErrorsAdvanced ? skAdvanced : kind;
    const CString resolved = ResolveText(text, nID);
    {
        std::lock_guard lock(m_mutex);
        if (kind == skError) {
            m_bAnyError = true;
            m_ErrorIDs.insert(nID);
        }
        m_Texts.emplace_back(resolved.GetString());
    }
    if (!m_bProblemsOnly || shown == skWarning || shown == skError)
        m_console.Message(shown, resolved, nID);
}

bool CConsoleSink::SawError(WORD nID) const
{
    std::lock_guard lock(m_mutex);
    return m_ErrorIDs.count(nID) != 0;
}

bool CConsoleSink::SawAnyError() const
{
    std::lock_guard lock(m_mutex);
    return m_bAnyError;
}

bool CConsoleSink::SawText(const std::string& part) const
{
    std::lock_guard lock(m_mutex);
    return std::any_of(m_Texts.begin(), m_Texts.end(),
                       [&](const std::string& t) { return t.find(part) != std::string::npos; });
}

void CConsoleSink::Reset()
{
    std::lock_guard lock(m_mutex);
    m_ErrorIDs.clear();
    m_bAnyError = false;
    m_Texts.clear();
}
