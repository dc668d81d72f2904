#pragma once
// The JTAG adapter driver the JTAG channel subclasses. The class keeps the
// adapter driver's own calling conventions (result code 1000 is success) and
// forwards every call to a replaceable back-end, so the channel can run over
// real hardware support, a simulated adapter or a test script.
#include <memory>

#include "platform/String.h"

// Result codes of word transfers and scans.
constexpr int SCANLET_OK = 1000;
// No word arrived, or the target did not take one, within the time-out. The
// driver stays quiet about it: callers poll and decide themselves.
constexpr int SCANLET_TIMEOUT = 1001;
// The adapter port is not open.
constexpr int SCANLET_NOT_OPEN = 1002;
// Any other code is a fault the driver reports itself through Error.

// What GetPortStatus returns while the adapter port is open.
constexpr int SCANLET_PORT_OPEN = 2;
constexpr int SCANLET_PORT_CLOSED = 0;

// What the Scanlet stand-in drives. Time-outs are in milliseconds.
class CScanletBackend
{
public:
    virtual ~CScanletBackend() = default;
    virtual bool IsInstalled() = 0;                                    // Scanlet::VerifyInstallation
    virtual bool OpenPort(CString& error) = 0;                         // false + reason when the adapter port is unavailable
    virtual void ClosePort() = 0;
    virtual void SetClockInput(unsigned char clkin, int mode) = 0;     // SetCLKIN
    virtual void SetClockDivider(unsigned char cdiv) = 0;              // SetCDIV
    virtual void SetOutputsEnabled(bool enabled) = 0;                  // SetTOE
    virtual void ResetTestLogic() = 0;                                 // TMSReset
    virtual int ScanIR(const unsigned char* instruction, unsigned long bits, unsigned char* out) = 0; // 1000 = done
    virtual int WriteWord(const unsigned char word[4], unsigned long timeoutMs) = 0;                 // 1000 = taken
    virtual int ReadWord(unsigned char word[4], unsigned long timeoutMs) = 0;                        // 1000 = arrived
    // Why the last call failed, in the back-end's words; empty when it has none.
    virtual CString GetLastError() const { return {}; }
};
// Process-wide back-end for every Scanlet created after the call; nullptr restores the
// default back-end: the socket named by ZFLASH_PELTO_SOCKET when that is set
// (see ScanletSocket.h), else one that reports the adapter software as not installed.
void SetScanletBackend(std::shared_ptr<CScanletBackend> backend);
std::shared_ptr<CScanletBackend> GetScanletBackend();

class Scanlet
{
public:
    // Opens the adapter port; GetPortStatus tells whether that worked. The
    // port number and flags are kept for the back-end's benefit only.
    Scanlet(int nPort, int nFlags);
    Scanlet(const Scanlet&) = delete;
    Scanlet& operator=(const Scanlet&) = delete;
    // Closes the adapter port.
    virtual ~Scanlet();

    // Nonzero when the adapter software is installed and configured.
    static int VerifyInstallation();

    int GetPortStatus() const { return m_nPortStatus; }
    // Text of the last port error; 0xFFFFFFFF (or any code) asks for the latest.
    CString GetPortErrorMsg(unsigned long nCode) const;

    void SetCLKIN(unsigned char nClkIn, int nMode);
    void SetCDIV(unsigned char nDivider);
    void SetTOE(int nEnable);
    void TMSReset();
    // Bounds the next word transfer, in milliseconds.
    void SetMudriTimeout(unsigned long nTimeout);
    unsigned long GetMudriTimeout() const { return m_nMudriTimeout; }

    int ScanIR(const unsigned char* pInstruction, unsigned long nBits, unsigned char* pOut);
    // One 32-bit word, bytes in buffer order.
    int WriteMudri(const unsigned char* pWord);
    int ReadMudri(unsigned char* pWord);

    // Called with the code of a failed call; composes a text for Report.
    virtual void Error(int nCode);
    // Where the driver's own problem reports go; the base drops them.
    virtual void Report(const char* pszText);

private:
    // Quiet for success and time-outs; anything else goes to Error.
    int Checked(int nResult);

    std::shared_ptr<CScanletBackend> m_pBackend;
    int m_nPortStatus = SCANLET_PORT_CLOSED;
    CString m_strPortError;
    unsigned long m_nMudriTimeout = 0;
};
