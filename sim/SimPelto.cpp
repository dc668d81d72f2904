#include "sim/SimPelto.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <condition_variable>
#include <deque>
#include <mutex>

#include "sim/SimTarget.h"

// The chip's side of the adapter. The host's words are taken a byte at a time,
// with the padding after a field dropped; the chip's answer bytes are packed
// into words, each answer closing its last one.
class CSimPeltoPort : public CSimDebugPort
{
public:
    using Word = std::array<unsigned char, 4>;

    bool Take(BYTE* pByte) override
    {
        std::lock_guard lock(m_lock);
        if (m_In.empty())
            return false;
        *pByte = m_In.front();
        m_In.pop_front();
        ++m_nTaken;
        return true;
    }

    void EndHostField() override
    {
        std::lock_guard lock(m_lock);
        while (m_nTaken % 4 != 0 && !m_In.empty()) {
            m_In.pop_front();
            ++m_nTaken;
        }
    }

    void Give(BYTE byte) override
    {
        {
            std::lock_guard lock(m_lock);
            m_Pending[m_nPending++] = byte;
            if (m_nPending < m_Pending.size())
                return;
            CloseWord();
        }
        m_cv.notify_all();
    }

    void EndAnswer() override
    {
        {
            std::lock_guard lock(m_lock);
            if (m_nPending == 0)
                return;
            CloseWord();
        }
        m_cv.notify_all();
    }

    void Restart() override
    {
        std::lock_guard lock(m_lock);
        m_In.clear();
        m_nTaken = 0;
        m_nPending = 0;
    }

    void Put(const unsigned char word[4])
    {
        std::lock_guard lock(m_lock);
        m_In.insert(m_In.end(), word, word + 4);
    }

    // The next whole word of the chip's answers, waiting at most timeoutMs.
    bool Collect(unsigned char word[4], unsigned long timeoutMs)
    {
        std::unique_lock lock(m_lock);
        if (!m_cv.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return !m_Out.empty(); }))
            return false;
        std::copy(m_Out.front().begin(), m_Out.front().end(), word);
        m_Out.pop_front();
        return true;
    }

    void ClearAnswers()
    {
        std::lock_guard lock(m_lock);
        m_Out.clear();
    }

private:
    void CloseWord()
    {
        std::fill(m_Pending.begin() + static_cast<std::ptrdiff_t>(m_nPending), m_Pending.end(), 0);
        m_Out.push_back(m_Pending);
        m_nPending = 0;
    }

    std::mutex m_lock;
    std::condition_variable m_cv;
    std::deque<BYTE> m_In;
    std::uint64_t m_nTaken = 0;
    std::deque<Word> m_Out;
    Word m_Pending{};
    std::size_t m_nPending = 0;
};

CSimPelto::CSimPelto(CSimTarget& target) : m_target(target), m_pPort(std::make_shared<CSimPeltoPort>())
{
    m_nScanResult = target.GetBoardSettings().m_nScanResult;
    m_bUnavailable = target.GetBoardSettings().m_bPeltoUnavailable;
}

CSimPelto::~CSimPelto()
{
    ClosePort();
    m_target.Line().SetDebugPort(nullptr);
}

bool CSimPelto::OpenPort(CString& error)
{
    if (m_bUnavailable) {
        error = "the adapter's port is in use by another program";
        return false;
    }
    // Words the host wrote before it last closed the port are in the chip's
    // hands already; only what the adapter had read and nobody took is lost.
    m_pPort->ClearAnswers();
    m_target.Line().SetDebugPort(m_pPort);
    m_bOpen = true;
    return true;
}

void CSimPelto::ClosePort()
{
    m_bOpen = false;
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

int CSimPelto::WriteWord(const unsigned char word[4], unsigned long timeoutMs)
{
    if (!m_bOpen)
        return SCANLET_NOT_OPEN;
    // A chip that is still starting takes the word once it runs; one without
    // power or held in reset never does.
    if (!m_target.WaitUntilRunning(timeoutMs))
        return SCANLET_TIMEOUT;
    m_pPort->Put(word);
    ++m_nWordsWritten;
    return SCANLET_OK;
}

int CSimPelto::ReadWord(unsigned char word[4], unsigned long timeoutMs)
{
    if (!m_bOpen)
        return SCANLET_NOT_OPEN;
    if (!m_pPort->Collect(word, timeoutMs))
        return SCANLET_TIMEOUT;
    ++m_nWordsRead;
    return SCANLET_OK;
}
