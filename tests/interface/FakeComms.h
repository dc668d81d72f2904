#pragma once
// A channel with a scripted target behind it: reads take bytes from a queue
// (kSilence stands for one read that gets nothing), writes are recorded and
// may feed the queue through onWrite. Time-outs are reported as the serial
// channel reports them.
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "comms/FLASHComms.h"
#include "devicedb/DeviceInfo.h"
#include "interface/FLASHGENInterface.h"

namespace zftest {

class CFakeComms : public CFLASHComms
{
public:
    static constexpr int kSilence = -1;

    bool SetTimeouts(eTimeoutType type) override
    {
        timeouts.push_back(type);
        return true;
    }
    bool Settings(const char* pszSettings) override
    {
        settings.emplace_back(pszSettings);
        rate = std::stoul(pszSettings);
        return !failSettings;
    }
    bool ReadBytes(unsigned char* pBuffer, unsigned long nCount, unsigned long* pReceived, bool) override
    {
        unsigned long n = 0;
        for (int next; n < nCount && !replies.empty() && (next = Pop()) != kSilence;)
            pBuffer[n++] = static_cast<unsigned char>(next);
        if (pReceived)
            *pReceived = n;
        else if (n < nCount)
            DisplayError("'fake:' read time out", 15005);
        return n == nCount;
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
        const int next = replies.empty() ? kSilence : Pop();
        if (next == kSilence) {
            DisplayError("'fake:' read time out", 15005);
            return false;
        }
        if (next == *pExpected)
            return true;
        *pExpected = static_cast<unsigned char>(next);
        return false;
    }

    void Reply(const std::vector<int>& bytes) { replies.insert(replies.end(), bytes.begin(), bytes.end()); }
    void Echo() { onWrite = [this](unsigned char b) { replies.push_back(b); }; }

    std::deque<int> replies;
    std::vector<unsigned char> written;
    std::vector<std::string> settings;
    std::vector<eTimeoutType> timeouts;
    std::vector<int> timedWaits;
    std::function<void(unsigned char)> onWrite;
    unsigned long rate = 9600;
    bool failSettings = false;
    bool failWrites = false;

private:
    int Pop()
    {
        const int b = replies.front();
        replies.pop_front();
        return b;
    }
};

// Gives the scripted answers in turn, then the last one again.
class AnsweringHost : public RecordingHost
{
public:
    eQueryType MessageBox(const CString& text, eQueryType style, eMessageIcon icon) override
    {
        RecordingHost::MessageBox(text, style, icon);
        if (!answers.empty()) {
            answer = answers.front();
            answers.pop_front();
        }
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
    std::vector<std::string> Questions() const
    {
        std::vector<std::string> out;
        for (const AskedQuestion& q : questions)
            out.push_back(q.text);
        return out;
    }

    std::deque<eQueryType> answers;
};

// Opens the protected operations to the tests.
class CTestInterface : public CFLASHGENInterface
{
public:
    using CFLASHGENInterface::CFLASHGENInterface;
    using CFLASHInterface::PerformMicroKernelBaudChange;
    using CFLASHInterface::PerformMicroKernelBaudChange_Protcol_B;
    using CFLASHGENInterface::Response;
};

// An interface on a fake channel, with a recording host and its own settings.
struct CInterfaceFixture
{
    CInterfaceFixture()
    {
        iface.SetAdvancedUser(true);
        iface.SetDeviceInfo(&info);
    }
    ScopedSettings settingsStore;
    AnsweringHost host;
    CDeviceInfo info;
    CFakeComms comms;
    CTestInterface iface{&comms};
};

} // namespace zftest
