#pragma once
// Which operation modules go into the target RAM behind the main kernel, which
// make room for them, where each starts and where the data buffer begins:
// worked out from the module files' lengths before anything is sent.
#include <array>
#include <vector>

#include "device/FunctionMap.h"
#include "platform/Types.h"

struct SModuleRequest
{
    // Non-zero entries are the modules wanted.
    CFLASHFunctionMap map;
    // File length of each module, by map entry.
    std::array<DWORD, CFLASHFunctionMap::kModuleEntries> lengths{};
    // Most recent first.
    std::array<eFLASHFunction, 4> priority{fnWrite, fnErase, fnCheckBlank, fnRead};
    DWORD dwMainKernelSize = 0;
    // Behind the main kernel.
    DWORD dwFreeRAM = 0;
    DWORD dwLineSize = 1;
    DWORD dwRAMSize = 0;
    // Evict the least recent modules until the rest and one line fit.
    bool bAutomatic = true;
};

class CModulePlan
{
public:
    struct SPlacement
    {
        int nEntry;
        // Kernel-relative, on a multiple of 4 (16-bit, as the kernel takes it).
        WORD wAddress;
        WORD wLength;
        DWORD dwFreeRAMAfter;
    };

    explicit CModulePlan(const SModuleRequest& request);

    // Map entries cleared to make room, in the order they go.
    const std::vector<int>& Evicted() const { return m_evicted; }
    // How often fnVerify came up for eviction: the user is told each time.
    int VerifyNotices() const { return m_nVerifyNotices; }
    // The modules placed, in map order.
    const std::vector<SPlacement>& Placements() const { return m_placements; }
    // The entry whose module is longer than the RAM left for it (nothing is
    // placed after it); -1 when every module fits.
    int TooBig() const { return m_nTooBig; }
    // Behind the last module placed.
    WORD BufferAddress() const { return m_wBufferAddress; }

private:
    void Evict(const SModuleRequest& request, CFLASHFunctionMap& map);

    std::vector<int> m_evicted;
    int m_nVerifyNotices = 0;
    std::vector<SPlacement> m_placements;
    int m_nTooBig = -1;
    WORD m_wBufferAddress = 0;
};
