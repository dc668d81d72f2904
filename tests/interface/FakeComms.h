#pragma once
// A channel with a scripted target behind it: reads take bytes from a queue
// (kSilence in the queue stands for one read that gets nothing), writes are
// recorded and may feed the queue through a responder. Time-outs are reported
// the way the serial channel reports them.
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "comms/FLASHComms.h"
#include "interface/FLASHGENInterface.h"
#include "TestSupport.h"

namespace zftest {

class CFakeComms : public CFLASHComms
{
public:
    static constexpr int kSilence = -1;

    CFakeComms() : CFLASHComms("fake") {}

    bool SetTimeouts(eTimeoutType type) override
    {
        timeouts.push_back(type);
        return true;
    }
    bool Settings(const char* pszSettings) override
    {
        settings.emplace_back(pszSettings);
        if (failSettings)
            return false;
        rate = std::stoul(pszSettings);
        return true;
    }
    bool ReadBytes(unsigned char* pBuffer, unsigned long nCount, unsigned long* pReceived, bool) override
    {
        unsigned long n = 0;
        while (n < nCount && !replies.empty()) {
            const int next = replies.front();
            replies.pop_front();
            if (next == kSilence)
                break;
            pBuffer[n++] = static_cast<unsigned char>(next);
        }
        ++reads;
        if (pReceived) {
            *pReceived = n;
            return n == nCount;
        }
        if (n < nCount) {
            DisplayError("'fake:' read time out", 15005);
            return false;
        }
        return true;
    }
    bool WriteBytes(const unsigned char* pBuffer, unsigned long nCount, bool) override
    {
        for (unsigned long i = 0; i < nCount; ++i) {
            written.push_back(pBuffer[i]);
            if (onWrite)
                onWrite(pBuffer[i]);
        }
        return !failWrites;
    }
    bool WriteByte(unsigned char nByte) override { return WriteBytes(&nByte, 1, false); }
    bool GetTimedResponse(unsigned char* pExpected, int nSeconds) override
    {
        timedWaits.push_back(nSeconds);
        if (replies.empty() || replies.front() == kSilence) {
            if (!replies.empty())
                replies.pop_front();
            DisplayError("'fake:' read time out", 15005);
            return false;
        }
        const unsigned char b = static_cast<unsigned char>(replies.front());
        replies.pop_front();
        if (b == *pExpected)
            return true;
        *pExpected = b;
        return false;
    }

    void Reply(std::initializer_list<int> bytes) { replies.insert(replies.end(), bytes); }
    // Every byte written comes straight back.
    void Echo() { onWrite = [this](unsigned char b) { replies.push_back(b); }; }

    std::deque<int> replies;
    std::vector<unsigned char> written;
    std::vector<std::string> settings;
    std::vector<eTimeoutType> timeouts;
    std::vector<int> timedWaits;
    std::function<void(unsigned char)> onWrite;
    unsigned long rate = 9600;
    int reads = 0;
    bool failSettings = false;
    bool failWrites = false;
};

// A host that gives the scripted answers in turn (then the last one again).
class AnsweringHost : public RecordingHost
{
public:
    eQueryType MessageBox(const CString& text, eQueryType style, eMessageIcon icon) override
    {
        RecordingHost::MessageBox(text, style, icon);
        if (answers.empty())
            return answer;
        answer = answers.front();
        answers.pop_front();
        return answer;
    }

    std::vector<std::string> Texts(eStatusKind kind) const
    {
        std::vector<std::string> out;
        for (const ShownStatus& s : shown)
            if (s.kind == kind)
                out.push_back(s.text);
        return out;
    }
    std::vector<WORD> Ids(eStatusKind kind) const
    {
        std::vector<WORD> out;
        for (const ShownStatus& s : shown)
            if (s.kind == kind)
                out.push_back(s.id);
        return out;
    }

    std::deque<eQueryType> answers;
};

// Opens the protected baud routines to the tests.
class CTestInterface : public CFLASHGENInterface
{
public:
    using CFLASHGENInterface::CFLASHGENInterface;
    using CFLASHInterface::PerformMicroKernelBaudChange;
    using CFLASHInterface::PerformMicroKernelBaudChange_Protcol_B;
    using CFLASHGENInterface::Response;
};

} // namespace zftest
