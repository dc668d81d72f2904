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

    // One byte from the host, a field of its own; false on time-out or
    // interruption (Interrupted() tells which). *pIntact is false when it was
    // garbled on the line.
    bool Rx(BYTE* pByte, DWORD timeoutMs = INFINITE, bool* pIntact = nullptr);
    // One byte to the host, an answer of its own; false when interrupted.
    bool Tx(BYTE byte);
    // A field the host sends in one go (data, code, several registers): how
    // many of its count bytes came. Over the debug interface the field takes
    // whole words and a two-byte tail arrives swapped, as the adapter's
    // channel sends it.
    DWORD RxField(BYTE* pBytes, DWORD count, DWORD timeoutMs);
    // An answer the host reads in one go; false when interrupted.
    bool TxField(const BYTE* pBytes, DWORD count);
    // A value of width bytes, most significant first, as one field.
    bool RxNumber(int width, DWORD* pValue, DWORD timeoutMs);
    bool Interrupted() const { return m_line.IsInterrupted(); }
    void Phase(eSimPhase phase) { m_line.SetPhase(phase); }

    // Waits for the baud-change command 0x44 0x04, ignoring anything else.
    bool WaitForBaudCommand();
    // As WaitForBaudCommand, but two bytes that are not 0x44 0x04 and give a
    // length that fits below the kernel's work area are the length of a main
    // kernel sent at the present rate: *pLength gets it (0 for the command).
    bool WaitForBaudCommandOrKernel(DWORD limit, DWORD* pLength);
    // The exchange after 0x44 0x04: the present BRR value out, the new one in,
    // the change of rate and the 01 02 03 04 check at the new rate. On a failed
    // check the old rate comes back.
    eStep BaudChange(BYTE presentBRR);
    // A main kernel download: 16-bit length (unless already read), then the bytes.
    eStep ReceiveKernel(std::vector<BYTE>* pCode, DWORD knownLength = 0);
    // Checks the download against the file and starts it.
    eSimNext StartKernel(const std::vector<BYTE>& code, const CSimKernelFile& file, bool bUser);
    // What both loaders do: baud changes until one holds, then the main kernel.
    // The USER loader also takes the kernel at its present rate without one.
    eSimNext ChangeBaudAndLoadKernel(BYTE presentBRR, const CSimKernelFile& file, bool bUser);
    // Room for a main kernel below the kernel's work area.
    DWORD KernelLimit(bool bUser) const;

    CSimTarget& m_target;
    CSimLine& m_line;
    const CSimDefinition& m_def;
};
