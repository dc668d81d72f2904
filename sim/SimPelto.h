#pragma once
// The Pelto JTAG adapter, simulated: the adapter back-end that reaches the
// virtual chip's debug interface. Each field the host sends starts a new word
// and each answer of the chip's programs ends one, as a kernel serving the
// debug interface works; the bytes of a word are in buffer order.
// Install it with SetScanletBackend; it must not outlive the target.
#include <atomic>
#include <memory>

#include "comms/Scanlet.h"

class CSimTarget;
class CSimPeltoPort;

class CSimPelto : public CScanletBackend
{
public:
    // Takes the adapter's faults from the target's [Simulator] settings.
    explicit CSimPelto(CSimTarget& target);
    ~CSimPelto() override;

    bool IsInstalled() override { return true; }
    bool OpenPort(CString& error) override;
    void ClosePort() override;
    void SetClockInput(unsigned char clkin, int mode) override;
    void SetClockDivider(unsigned char cdiv) override { m_nClockDivider = cdiv; }
    void SetOutputsEnabled(bool enabled) override { m_bOutputs = enabled; }
    void ResetTestLogic() override { ++m_nTestLogicResets; }
    int ScanIR(const unsigned char* instruction, unsigned long bits, unsigned char* out) override;
    int WriteWord(const unsigned char word[4], unsigned long timeoutMs) override;
    int ReadWord(unsigned char word[4], unsigned long timeoutMs) override;

    // Changes the adapter's faults.
    void SetScanResult(int result) { m_nScanResult = result; }
    void SetPortUnavailable(bool unavailable) { m_bUnavailable = unavailable; }

    // What the host did, for tests.
    bool IsPortOpen() const { return m_bOpen.load(); }
    int GetClockInput() const { return m_nClockInput.load(); }
    int GetClockDivider() const { return m_nClockDivider.load(); }
    bool AreOutputsEnabled() const { return m_bOutputs.load(); }
    int GetTestLogicResets() const { return m_nTestLogicResets.load(); }
    int GetScans() const { return m_nScans.load(); }
    unsigned long GetWordsWritten() const { return m_nWordsWritten.load(); }
    unsigned long GetWordsRead() const { return m_nWordsRead.load(); }

private:
    CSimTarget& m_target;
    std::shared_ptr<CSimPeltoPort> m_pPort;
    std::atomic<int> m_nScanResult{1000};
    std::atomic<bool> m_bUnavailable{false};
    std::atomic<bool> m_bOpen{false};
    std::atomic<int> m_nClockInput{-1};
    std::atomic<int> m_nClockDivider{-1};
    std::atomic<bool> m_bOutputs{false};
    std::atomic<int> m_nTestLogicResets{0};
    std::atomic<int> m_nScans{0};
    std::atomic<unsigned long> m_nWordsWritten{0};
    std::atomic<unsigned long> m_nWordsRead{0};
};
