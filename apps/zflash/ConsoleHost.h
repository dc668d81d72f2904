#pragma once
// The tool as the library's host: the sink at the end of the programmer's
// status chain, and the host hook that puts the library's questions to a
// person, or answers them from --yes/--no, or stops the run cleanly.
#include <atomic>
#include <cstdio>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "Console.h"
#include "platform/HostUI.h"
#include "platform/StatusUpdate.h"

enum eAnswerPolicy { apAsk, apYes, apNo };

class CConsoleHost : public CHostUI
{
public:
    // nInputFd: where a person types answers; -1 when nobody can.
    CConsoleHost(CConsole& console, eAnswerPolicy policy, int nInputFd);

    eQueryType MessageBox(const CString& text, eQueryType style, eMessageIcon icon = miNone) override;
    void ShowStatus(eStatusKind kind, const CString& text, WORD nID) override;

    // A question starting with this text gets this answer whatever the policy
    // (how the command's own options answer the library, e.g. --verify).
    void SetFixedAnswer(const std::string& prefix, eQueryType answer, const std::string& by);
    // How often a question with a fixed answer for this prefix was put.
    int FixedAnswerCount(const std::string& prefix);
    // Ctrl-C: a prompt waiting for a person gives up.
    void Interrupt() { m_bInterrupted = true; }
    // A question could not be answered (no terminal, no --yes/--no).
    bool WasUnanswered() const { return m_bUnanswered; }
    // --yes said "keep waiting" as often as it may and then gave up on a silent device.
    bool GaveUpWaiting() const { return m_bGaveUp; }

    // How many times --yes answers one "keep waiting?" question before it answers No.
    static constexpr int kMaxWaits = 3;

    // What a typed reply means for a style; qtOK when it means nothing.
    static eQueryType ParseReply(const std::string& reply, eQueryType style);
    // The answer --yes or --no gives to a style.
    static eQueryType PolicyAnswer(eAnswerPolicy policy, eQueryType style);
    // The answer that changes nothing: used when a question cannot be put.
    static eQueryType SafeAnswer(eQueryType style);

private:
    eQueryType AskPerson(const CString& text, eQueryType style);
    // The --yes or --no answer, with --yes bounded for questions that would wait forever.
    eQueryType AnswerByPolicy(const CString& text, eQueryType style);
    // One line from the input; false at its end or on Ctrl-C.
    bool ReadLine(std::string& line);

    struct SFixed
    {
        std::string prefix;
        eQueryType answer;
        std::string by;
        int nCount = 0;
    };

    CConsole& m_console;
    eAnswerPolicy m_ePolicy;
    int m_nInputFd;
    std::mutex m_mutex;
    std::vector<SFixed> m_Fixed;
    std::map<std::string, int> m_Waits;
    std::atomic<bool> m_bInterrupted{false};
    std::atomic<bool> m_bUnanswered{false};
    std::atomic<bool> m_bGaveUp{false};
};

// The end of the programmer's status chain: prints each message and keeps the
// progress the library reports, plus the identifiers of the errors it saw so
// that the tool can choose its exit code.
class CConsoleSink : public CStatusUpdate
{
public:
    // bProblemsOnly: only warnings and errors are shown (the rest is still recorded).
    explicit CConsoleSink(CConsole& console, bool bProblemsOnly = false)
        : m_console(console), m_bProblemsOnly(bProblemsOnly)
    {
    }

    void DisplayProperties(const CString& text, WORD nID = 0) override { Take(skProperties, text, nID); }
    void DisplayTaskMessage(const CString& text, WORD nID = 0) override { Take(skTask, text, nID); }
    void DisplayMessage(const CString& text, WORD nID = 0) override { Take(skMessage, text, nID); }
    void DisplaySuccessMessage(const CString& text, WORD nID = 0) override { Take(skSuccess, text, nID); }
    void DisplayAdvancedMessage(const CString& text, WORD nID = 0) override { Take(skAdvanced, text, nID); }
    void DisplayWarning(const CString& text, WORD nID = 0) override { Take(skWarning, text, nID); }
    void DisplayError(const CString& text, WORD nID = 0) override { Take(skError, text, nID); }

    bool SawError(WORD nID) const;
    bool SawAnyError() const;
    bool SawText(const std::string& part) const;
    void Reset();
    // Errors from here on are shown as advanced messages (still recorded): the
    // complaints of a cancelled operation, or of a probe whose miss is expected.
    void SetErrorsAdvanced(bool bAdvanced) { m_bErrorsAdvanced = bAdvanced; }

private:
    void Take(eStatusKind kind, const CString& text, WORD nID);

    CConsole& m_console;
    bool m_bProblemsOnly;
    std::atomic<bool> m_bErrorsAdvanced{false};
    mutable std::mutex m_mutex;
    std::set<WORD> m_ErrorIDs;
    bool m_bAnyError = false;
    std::vector<std::string> m_Texts;
};
