#pragma once
// A channel with a script instead of a line: replies are queued bytes (kGap
// stands for a silence that ends one read short), everything written is kept.
#include <deque>
#include <functional>
#include <vector>

#include "comms/FLASHComms.h"

namespace zftest {

class CFakeComms : public CFLASHComms
{
public:
    static constexpr int kGap = -1;

    CFakeComms() : CFLASHComms("FAKE") {}

    void Reply(std::initializer_list<int> bytes) { m_replies.insert(m_replies.end(), bytes); }
    void Reply(const std::vector<BYTE>& bytes) { m_replies.insert(m_replies.end(), bytes.begin(), bytes.end()); }

    bool SetTimeouts(eTimeoutType type) override
    {
        timeouts.push_back(type);
        return true;
    }
    bool GetTimedResponse(unsigned char* pExpected, int nSeconds) override
    {
        waits.push_back(nSeconds);
        int b = Take();
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
        while (n < nCount) {
            int b = Take();
            if (b < 0)
                break;
            pBuffer[n++] = static_cast<BYTE>(b);
        }
        if (bSwap && n == 2)
            std::swap(pBuffer[0], pBuffer[1]);
        if (pReceived) {
            *pReceived = n;
            return n == nCount;
        }
        if (n < nCount) {
            DisplayError("'FAKE:' read time out", 15005);
            return false;
        }
        return true;
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
    bool WriteByte(unsigned char nByte) override { return WriteBytes(&nByte, 1, false); }

    std::vector<BYTE> written;
    std::vector<eTimeoutType> timeouts;
    std::vector<int> waits;
    int flushes = 0;
    bool failWrites = false;
    ePortStatus status = psOpen;
    std::function<void(BYTE)> onWrite;
    void ClearReplies() { m_replies.clear(); }
    size_t Pending() const { return m_replies.size(); }

private:
    int Take()
    {
        if (m_replies.empty())
            return kGap;
        int b = m_replies.front();
        m_replies.pop_front();
        return b;
    }
    std::deque<int> m_replies;
};

} // namespace zftest
