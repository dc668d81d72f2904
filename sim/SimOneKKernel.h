#pragma once
// The main kernel of a 1K chip. Its RAM cannot hold the kernel and an
// operation module together, so the module comes inside each command (right
// after the command byte for erase and blank check, after the length and
// address for read and write, with the data buffer's place for a write) and is
// loaded over the kernel itself. Once the operation is over, whatever came of
// it, the module waits for the main kernel to be downloaded again (16-bit
// length, then the bytes) and starts it. The kernel refuses an operation
// (0x3F) when the module that came is not the one it needs.
#include "sim/SimMainKernel.h"

class CSimOneKKernel : public CSimMainKernel
{
public:
    CSimOneKKernel(CSimTarget& target, bool bUser);

protected:
    bool ReceiveModule(int entry, bool bAfterParameters) override;
    bool ModuleReady(int entry, CString* pWhy) const override;
    eSimNext AfterOperation() override;
    // The host sends the data of this protocol a byte at a time.
    DWORD ReceiveChunk(BYTE* pData, DWORD count) override;

private:
    // The module replaces the kernel in RAM, whichever module it is.
    void LoadOverKernel(int entry, const std::vector<BYTE>& code);
    // Where a write's data buffer lies; false when it does not come.
    bool ReceiveBufferMap(DWORD moduleLength);

    bool m_bOverlaid = false; // a module has replaced the kernel in RAM
    bool m_bBroken = false;   // part of a module overwrote the kernel, then the bytes stopped
    int m_nReceived = -1;     // entry of the module file that came, -1 for none of them
};
