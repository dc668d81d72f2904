#include "sim/SimModel.h"

#include <algorithm>

void CSimModel::Configure(const CSimDefinition& definition)
{
    std::lock_guard lock(m_lock);
    m_byFill = definition.m_byFLASHFill;
    m_FLASH.assign(definition.m_dwFLASHSize, m_byFill);
    m_Blocks = definition.m_Blocks;
    m_EraseCounts.assign(m_Blocks.size(), 0);
    m_RAM.assign(definition.m_dwRAMSize, 0);
    m_nPowerCycles = 0;
}

DWORD CSimModel::GetFLASHSize() const
{
    std::lock_guard lock(m_lock);
    return static_cast<DWORD>(m_FLASH.size());
}

std::vector<BYTE> CSimModel::GetFLASH() const
{
    std::lock_guard lock(m_lock);
    return m_FLASH;
}

bool CSimModel::InFLASH(DWORD address, DWORD length) const
{
    std::lock_guard lock(m_lock);
    return address <= m_FLASH.size() && length <= m_FLASH.size() - address;
}

bool CSimModel::LoadFLASH(DWORD address, const std::vector<BYTE>& data)
{
    std::lock_guard lock(m_lock);
    if (address > m_FLASH.size() || data.size() > m_FLASH.size() - address)
        return false;
    std::copy(data.begin(), data.end(), m_FLASH.begin() + address);
    return true;
}

bool CSimModel::ReadFLASH(DWORD address, DWORD length, std::vector<BYTE>* pData) const
{
    std::lock_guard lock(m_lock);
    if (address > m_FLASH.size() || length > m_FLASH.size() - address)
        return false;
    pData->assign(m_FLASH.begin() + address, m_FLASH.begin() + address + length);
    return true;
}

bool CSimModel::IsBlank(DWORD address, DWORD length) const
{
    std::lock_guard lock(m_lock);
    const auto first = m_FLASH.begin() + address;
    return std::all_of(first, first + length, [](BYTE b) { return b == 0xFF; });
}

void CSimModel::EraseBlock(std::size_t index)
{
    std::lock_guard lock(m_lock);
    if (index >= m_Blocks.size())
        return;
    const CSimBlock& b = m_Blocks[index];
    std::fill(m_FLASH.begin() + b.m_dwStart, m_FLASH.begin() + b.m_dwStart + b.m_dwSize, BYTE(0xFF));
    ++m_EraseCounts[index];
}

void CSimModel::EraseAll()
{
    for (std::size_t i = 0; i < m_Blocks.size(); ++i)
        EraseBlock(i);
}

DWORD CSimModel::Program(DWORD address, const BYTE* p, DWORD n, DWORD* pFirstIllegal)
{
    std::lock_guard lock(m_lock);
    DWORD illegal = 0;
    for (DWORD i = 0; i < n; ++i) {
        BYTE& cell = m_FLASH[address + i];
        if (p[i] & ~cell) {
            if (illegal++ == 0 && pFirstIllegal)
                *pFirstIllegal = address + i;
        }
        cell = static_cast<BYTE>(cell & p[i]);
    }
    return illegal;
}

std::vector<DWORD> CSimModel::GetEraseCounts() const
{
    std::lock_guard lock(m_lock);
    return m_EraseCounts;
}

DWORD CSimModel::GetRAMSize() const
{
    std::lock_guard lock(m_lock);
    return static_cast<DWORD>(m_RAM.size());
}

std::vector<BYTE> CSimModel::GetRAM() const
{
    std::lock_guard lock(m_lock);
    return m_RAM;
}

bool CSimModel::WriteRAM(DWORD address, const BYTE* p, DWORD n)
{
    std::lock_guard lock(m_lock);
    if (address > m_RAM.size() || n > m_RAM.size() - address)
        return false;
    std::copy(p, p + n, m_RAM.begin() + address);
    return true;
}

bool CSimModel::RAMHolds(DWORD address, const std::vector<BYTE>& bytes, DWORD* pFirstDiff) const
{
    std::lock_guard lock(m_lock);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (address + i >= m_RAM.size() || m_RAM[address + i] != bytes[i]) {
            if (pFirstDiff)
                *pFirstDiff = static_cast<DWORD>(i);
            return false;
        }
    }
    return true;
}

void CSimModel::ScrambleRAM()
{
    std::lock_guard lock(m_lock);
    // What a RAM holds after power-up is not zero and not predictable; a fixed
    // pseudo-random pattern per power cycle keeps runs repeatable.
    DWORD x = 0x9E3779B9u + ++m_nPowerCycles * 0x85EBCA6Bu;
    for (BYTE& b : m_RAM) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = static_cast<BYTE>(x);
    }
}
