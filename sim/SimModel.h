#pragma once
// The chip's memories: FLASH with its erase blocks (a bit only goes from 1 to 0
// until its block is erased) and RAM. Safe to use from any thread.
#include <mutex>
#include <vector>

#include "platform/Types.h"
#include "sim/SimDefinition.h"

class CSimModel
{
public:
    // FLASH of the definition's size filled with the fill byte, RAM filled with
    // the power-on pattern.
    void Configure(const CSimDefinition& definition);

    // FLASH.
    DWORD GetFLASHSize() const;
    std::vector<BYTE> GetFLASH() const;
    // Stores bytes as they are, without the programming rules (a preloaded
    // chip); false when they do not fit.
    bool LoadFLASH(DWORD address, const std::vector<BYTE>& data);
    bool ReadFLASH(DWORD address, DWORD length, std::vector<BYTE>* pData) const;
    bool InFLASH(DWORD address, DWORD length) const;
    bool IsBlank(DWORD address, DWORD length) const;
    void EraseBlock(std::size_t index);
    void EraseAll();
    // Programs bytes as the FLASH does: each cell becomes old AND new. Returns
    // the number of bytes that asked for a 0 bit to become 1 (those keep their 0),
    // and the address of the first such byte. The range must be in the FLASH.
    DWORD Program(DWORD address, const BYTE* p, DWORD n, DWORD* pFirstIllegal);
    const std::vector<CSimBlock>& GetBlocks() const { return m_Blocks; }
    std::vector<DWORD> GetEraseCounts() const;

    // RAM (kernel-relative addresses: the main kernel is loaded at 0).
    DWORD GetRAMSize() const;
    std::vector<BYTE> GetRAM() const;
    bool WriteRAM(DWORD address, const BYTE* p, DWORD n);
    // True when RAM holds these bytes at the address; otherwise *pFirstDiff is
    // the offset of the first difference.
    bool RAMHolds(DWORD address, const std::vector<BYTE>& bytes, DWORD* pFirstDiff) const;
    // Power loss: RAM forgets what it held.
    void ScrambleRAM();

private:
    mutable std::mutex m_lock;
    std::vector<BYTE> m_FLASH;
    std::vector<CSimBlock> m_Blocks;
    std::vector<DWORD> m_EraseCounts;
    std::vector<BYTE> m_RAM;
    BYTE m_byFill = 0xFF;
    unsigned m_nPowerCycles = 0;
};
