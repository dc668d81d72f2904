#include "sim/SimPelto.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>

#include "sim/SimTarget.h"

// The chip's side of the adapter: byte queues both ways.
class CSimPeltoPort : public CSimDebugPort
{
public:
    bool Take(BYTE* pByte) override
    {
        std::lock_guard lock(m_lock);
        if (m_In.empty())
            return false;
        *pByte = m_In.front();
        m_In.pop_front();
        return true;
    }

    void Give(BYTE byte) override
    {
        {
            std::lock_guard lock(m_lock);
            m_Out.push_back(byte);
        }
        m_cv.notify_all();
    }

    void Restart() override
    {
        std::lock_guard lock(m_lock);
        m_In.clear();
    }

    void Put(const unsigned char word[4])
    {
        std::lock_guard lock(m_lock);
        m_In.insert(m_In.end(), word, word + 4);
    }

    // Up to four of the chip's bytes: waits for the first, then a little for
    // the rest of the word.
    int Collect(unsigned char word[4], unsigned long timeoutMs, unsigned long gapMs)
    {
        std::unique_lock lock(m_lock);
        if (!m_cv.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return !m_Out.empty(); }))
            return 0;
        m_cv.wait_for(lock, std::chrono::milliseconds(gapMs), [&] { return m_Out.size() >= 4; });
        int n = 0;
        for (; n < 4 && !m_Out.empty(); ++n) {
            word[n] = m_Out.front();
            m_Out.pop_front();
        }
        for (int i = n; i < 4; ++i)
            word[i] = 0;
        return n;
    }

    void Clear()
    {
        std::lock_guard lock(m_lock);
        m_In.clear();
        m_Out.clear();
    }

private:
    std::mutex m_lock;
    std::condition_variable m_cv;
    std::deque<BYTE> m_In;
    std::deque<BYTE> m_Out;
};

CSimPelto::CSimPelto(CSimTarget& target) : m_target(target), m_pPort(std::make_shared<CSimPeltoPort>())
{
    m_nScanResult = target.GetBoardSettings().m_nScanResult;
    m_bUnavailable = target.GetBoardSettings().m_bPeltoUnavailable;
}

CSimPelto::~CSimPelto()
{
    ClosePort();
}

bool CSimPelto::OpenPort(CString& error)
{
    if (m_bUnavailable) {
        error = "the adapter's port is in use by another program";
        return false;
    }
    m_pPort->Clear();
    m_target.Line().SetDebugPort(m_pPort);
    m_bOpen = true;
    return true;
}

void CSimPelto::ClosePort()
{
    if (m_bOpen.exchange(false))
        m_target.Line().SetDebugPort(nullptr);
}

void CSimPelto::SetClockInput(unsigned char clkin, int /*mode*/)
{
    m_nClockInput = clkin;
}

int CSimPelto::ScanIR(const unsigned char* instruction, unsigned long bits, unsigned char* /*out*/)
{
    if (!m_bOpen)
        return SCANLET_NOT_OPEN;
    ++m_nScans;
    m_target.Event(ekNote, "JTAG adapter: instruction scan of %lu bits (%02X)", bits,
                   instruction ? instruction[0] : 0);
    return m_nScanResult;
}

int CSimPelto::WriteWord(const unsigned char word[4], unsigned long /*timeoutMs*/)
{
    if (!m_bOpen)
        return SCANLET_NOT_OPEN;
    const eSimState state = m_target.GetState();
    if (state == ssStopped || state == ssPoweredOff || state == ssHeldInReset)
        return SCANLET_TIMEOUT; // nothing on the other side takes it
    m_pPort->Put(word);
    ++m_nWordsWritten;
    return SCANLET_OK;
}

int CSimPelto::ReadWord(unsigned char word[4], unsigned long timeoutMs)
{
    if (!m_bOpen)
        return SCANLET_NOT_OPEN;
    if (m_pPort->Collect(word, timeoutMs, kWordGapMs) == 0)
        return SCANLET_TIMEOUT;
    ++m_nWordsRead;
    return SCANLET_OK;
}
