#pragma once
// The classic main kernel, in BOOT or USER mode: identity, handshake, module
// and function-map downloads, and the erase, blank-check, read and
// write-and-verify commands, each done by its operation module, which must be
// in RAM where the function map says.
#include "sim/SimProgram.h"

class CSimMainKernel : public CSimProgram
{
public:
    // Bytes of the kernel's answers that the host only tells apart from the rest.
    static constexpr BYTE kRefused = 0x3F;     // operation refused (its module is not in place, bad range)
    static constexpr BYTE kNotBlank = 0x25;    // blank check: not blank
    static constexpr BYTE kWriteOK = 0x00;     // write chunk, and final status: success
    static constexpr BYTE kWriteFailed = 0x23; // write chunk, and final status: failure
    static constexpr BYTE kWriteAccepted = 0x10; // write chunk taken, its verification still to come

    CSimMainKernel(CSimTarget& target, bool bUser);
    eSimNext Run() override;

protected:
    enum eEntry
    {
        enWrite = 0,
        enErase = 1,
        enRead = 2,
        enCheckBlank = 3,
    };

    // Where an operation's module comes from. This kernel finds it in RAM where
    // the function map says; the 1K kernel receives it inside the command,
    // before (erase, blank check) or after (read, write) the parameters.
    // False when the command cannot go on.
    virtual bool ReceiveModule(int /*entry*/, bool /*bAfterParameters*/) { return true; }
    virtual bool ModuleReady(int entry, CString* pWhy) const { return ModuleInPlace(entry, pWhy); }
    // After every erase, blank check, read and write, whatever came of it:
    // snMainKernel (or snUserMainKernel) carries on, anything else stops the kernel.
    virtual eSimNext AfterOperation() { return m_bUser ? snUserMainKernel : snMainKernel; }

    eSimNext Command(BYTE command, bool* pHandled);
    static bool IsOperation(BYTE command);
    void Identity();
    void Handshake();
    void Erase();
    bool ReceiveEraseRequest(DWORD* pStart, DWORD* pEnd, BYTE* pEBR);
    void CorruptEraseRegister(BYTE* pEBR, DWORD number);
    std::vector<std::size_t> PickBlocks(DWORD start, DWORD end, const BYTE* pEBR);
    // Waits out the erase of that many blocks; false when interrupted.
    bool EraseTime(DWORD blocks, DWORD polls);
    CString BlockNames(const std::vector<std::size_t>& blocks) const;
    void BlankCheck();
    void Read(BYTE command);
    bool ReceiveReadReply(DWORD address, BYTE* pReply);
    void Write(BYTE command);
    // Refuses (taking the first chunk) or accepts a write of that range.
    bool WriteAccepted(DWORD start, DWORD length);
    // False when the write is abandoned.
    bool ReceiveWriteChunk(BYTE* pData, DWORD chunk, bool bLast);
    BYTE ProgramChunk(DWORD address, const BYTE* pData, DWORD chunk, const CSimFaults& faults);
    bool HostWantsMore(DWORD done, DWORD length);
    eSimNext ModuleDownload(BYTE command);
    void FunctionMap();
    eSimNext EndOfConnection();

    bool ModuleInPlace(int entry, CString* pWhy) const;
    void Refuse(const char* pszOperation, const CString& why);
    // When the operation's module is not ready: noted and answered with the refusal.
    bool ModuleRefused(int entry, const char* pszOperation);
    // The length (its width given by the command) and start address of a read or write.
    bool ReceiveRange(BYTE command, const char* pszOperation, DWORD* pLength, DWORD* pStart);
    DWORD LineSize() const;
    // The bytes of one write chunk, as the host's protocol sends them: how
    // many of count came.
    virtual DWORD ReceiveChunk(BYTE* pData, DWORD count);
    // Takes the bytes of one write chunk that the kernel will not use.
    void Swallow(DWORD count);
    // First RAM address that belongs to the kernel's work area.
    DWORD WorkAreaStart() const;
    bool Abandoned(const char* pszWhat);

    static const char* EntryName(int entry);

    bool m_bUser;
    bool m_bModuleCommands = true; // 0x28, 0x48 and 0x38 are commands of this kernel
    BYTE m_byIdentifier = 0;
    WORD m_Map[6] = {0, 0, 0, 0, 0, 0};
    int m_nMapCount = -1; // no map received yet
    WORD m_wBufferAddress = 0;
    WORD m_wBufferSize = 0;
};
