#pragma once
// A program the simulated chip runs: its boot program, a micro-kernel, its own
// program's USER-mode loader, a main kernel. Each runs on the chip's thread and
// says what runs next.
#include <vector>

#include "platform/String.h"
#include "platform/Types.h"
#include "sim/SimDefinition.h"
#include "sim/SimLine.h"

class CSimKernelFile;
class CSimTarget;

enum eSimNext
{
    snBootProgram,
    snMicroKernel,
    snUserProgram,
    snMainKernel,
    snUserMainKernel,
    snHalt,        // crashed: deaf and silent until reset
    snRestart,     // the chip resets itself
    snInterrupted, // stop, reset or power change from outside
};

class CSimProgram
{
public:
    explicit CSimProgram(CSimTarget& target);
    virtual ~CSimProgram() = default;
    CSimProgram(const CSimProgram&) = delete;
    CSimProgram& operator=(const CSimProgram&) = delete;

    virtual eSimNext Run() = 0;

protected:
    enum eStep
    {
        stDone,
        stFailed,
        stInterrupted,
    };

    // One byte from the host; false on time-out or interruption (Interrupted()
    // tells which). *pIntact is false when it was garbled on the line.
    bool Rx(BYTE* pByte, DWORD timeoutMs = INFINITE, bool* pIntact = nullptr);
    // false when interrupted.
    bool Tx(BYTE byte);
    // A value of width bytes, most significant first.
    bool RxNumber(int width, DWORD* pValue, DWORD timeoutMs);
    bool Interrupted() const { return m_line.IsInterrupted(); }
    void Phase(eSimPhase phase) { m_line.SetPhase(phase); }

    // Waits for the baud-change command 0x44 0x04, ignoring anything else.
    bool WaitForBaudCommand();
    // The exchange after 0x44 0x04: the present BRR value out, the new one in,
    // the change of rate and the 01 02 03 04 check at the new rate. On a failed
    // check the old rate comes back.
    eStep BaudChange(BYTE presentBRR);
    // A main kernel download: 16-bit length, then the bytes.
    eStep ReceiveKernel(std::vector<BYTE>* pCode);
    // Checks the download against the file and starts it.
    eSimNext StartKernel(const std::vector<BYTE>& code, const CSimKernelFile& file, bool bUser);
    // What both loaders do: baud changes until one holds, then the main kernel.
    eSimNext ChangeBaudAndLoadKernel(BYTE presentBRR, const CSimKernelFile& file, bool bUser);

    CSimTarget& m_target;
    CSimLine& m_line;
    const CSimDefinition& m_def;
};
