#pragma once
// The byte channel over the Pelto JTAG adapter: bytes travel as 32-bit words
// through the target's Mudri debug interface, so kernels and protocols run
// over it unchanged. It also owns a serial channel to the Kivu board's link;
// while routed there, traffic, settings and time-outs all go to that port.
#include <memory>

#include "comms/FLASHComms.h"
#include "comms/Scanlet.h"

// The adapter driver of one open JTAG channel; its own problem reports go to
// the channel.
class CFLASHScanlet : public Scanlet
{
public:
    explicit CFLASHScanlet(CStatusUpdate* pOwner);
    ~CFLASHScanlet() override = default;

    void Report(const char* pszText) override;

private:
    CStatusUpdate* m_pOwner;
};

class CFLASHJTAGComms : public CFLASHComms
{
    ZF_DECLARE_DYNAMIC(CFLASHJTAGComms)
public:
    static constexpr const char* kPortName = "Quarn Pelto";
    // Scanned as the connection test; only the scan's result is looked at.
    static constexpr unsigned char kTestInstruction = 0x0F;

    CFLASHJTAGComms();
    ~CFLASHJTAGComms() override;

    bool SetTimeouts(eTimeoutType type) override;
    bool FlushBuffers() override;
    const char* GetPortName() override;
    DWORD GetBaudRate() override;
    void SetPortName(const char* pszPortName) override;
    bool Close() override;
    // The name is not used: there is one adapter.
    bool Open(const char* pszPortName = nullptr) override;
    bool Settings(const char* pszSettings) override;
    // The swap flag is ignored: words arrive in buffer order.
    bool ReadBytes(unsigned char* pBuffer, unsigned long nCount, unsigned long* pReceived, bool bSwap) override;
    // Unlike the serial channel, a two-byte tail is exchanged when bSwap is NOT set.
    bool WriteBytes(const unsigned char* pBuffer, unsigned long nCount, bool bSwap) override;

    // One word into pWord (4 bytes); the driver's result code.
    int DoReadMudri(unsigned char* pWord);

    DWORD GetWordTimeout() const { return m_dwWordTimeout; }

private:
    // The alternate channel while traffic is routed to it, else nullptr.
    CFLASHComms* Routed() const;
    bool IsAdapterOpen() const { return m_pScanlet && m_Status == psOpen; }
    void ReportNotOpen();

    DWORD m_dwWordTimeout = 0;
    std::unique_ptr<CFLASHScanlet> m_pScanlet;
};
