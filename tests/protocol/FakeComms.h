#pragma once
// A channel with a script instead of a line: replies are queued bytes (kGap
// stands for a silence that ends one read short), everything written is kept
// and may feed the queue through onWrite.
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "comms/FLASHComms.h"

namespace zftest {

class CFakeComms : public CFLASHComms
{
public:
    static constexpr int kGap = -1;
    // Ends a timed wait as a cancel does, before any byte came.
    static constexpr int kCancelled = -2;

    CFakeComms() : CFLASHComms("FAKE") {}

    void Reply(std::initializer_list<int> bytes) { replies.insert(replies.end(), bytes); }
    template <class C> void Reply(const C& bytes) { replies.insert(replies.end(), bytes.begin(), bytes.end()); }
    void Echo() { onWrite = [this](BYTE b) { replies.push_back(b); }; }

    bool SetTimeouts(eTimeoutType type) override
    {
        timeouts.push_back(type);
        return true;
    }
    bool Settings(const char* pszSettings) override
    {
        settings.emplace_back(pszSettings);
        rate = std::stoul(pszSettings);
        return true;
    }
    bool GetTimedResponse(unsigned char* pExpected, int nSeconds) override
    {
        waits.push_back(nSeconds);
        m_bWaitCancelled = false;
        int b = Take();
        if (b == kCancelled) {
            m_bWaitCancelled = true;
            return true;
        }
        if (b < 0) {
            DisplayError("'FAKE:' read time out", 15005);
            return false;
        }
        if (b == *pExpected)
            return true;
        *pExpected = static_cast<BYTE>(b);
        return false;
    }
    bool FlushBuffers() override
    {
        ++flushes;
        return true;
    }
    ePortStatus GetStatus() override { return status; }
    bool ReadBytes(unsigned char* pBuffer, unsigned long nCount, unsigned long* pReceived, bool bSwap) override
    {
        unsigned long n = 0;
        for (int b; n < nCount && (b = Take()) >= 0;)
            pBuffer[n++] = static_cast<BYTE>(b);
        if (bSwap && n == 2)
            std::swap(pBuffer[0], pBuffer[1]);
        if (pReceived)
            *pReceived = n;
        else if (n < nCount)
            DisplayError("'FAKE:' read time out", 15005);
        return n == nCount;
    }
    bool WriteBytes(const unsigned char* pBuffer, unsigned long nCount, bool bSwap) override
    {
        if (failWrites)
            return false;
        std::vector<BYTE> v(pBuffer, pBuffer + nCount);
        if (bSwap && nCount == 2)
            std::swap(v[0], v[1]);
        for (BYTE b : v) {
            written.push_back(b);
            if (onWrite)
                onWrite(b);
        }
        return true;
    }

    std::deque<int> replies;
    std::vector<BYTE> written;
    std::vector<std::string> settings;
    std::vector<eTimeoutType> timeouts;
    std::vector<int> waits;
    std::function<void(BYTE)> onWrite;
    unsigned long rate = 9600;
    int flushes = 0;
    ePortStatus status = psOpen;
    bool failWrites = false;

private:
    int Take()
    {
        if (replies.empty())
            return kGap;
        const int b = replies.front();
        replies.pop_front();
        return b;
    }
};

} // namespace zftest
