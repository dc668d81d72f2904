#include "device/ModulePlan.h"

#include <algorithm>

#include "device/FLASHDevice.h"

namespace {
constexpr DWORD RoundUp4(DWORD n) { return (n + 3u) & ~3u; }
constexpr DWORD RoundDown4(DWORD n) { return n & ~3u; }
} // namespace

CModulePlan::CModulePlan(const SModuleRequest& request)
{
    CFLASHFunctionMap map = request.map;
    if (request.bAutomatic)
        Evict(request, map);

    WORD next = static_cast<WORD>(RoundUp4(static_cast<WORD>(request.dwMainKernelSize)));
    DWORD dwFree = request.dwFreeRAM;
    for (int entry = 0; entry < CFLASHFunctionMap::kModuleEntries; ++entry) {
        if (map.GetEntry(entry) == 0)
            continue;
        if (request.lengths[entry] > dwFree) {
            m_nTooBig = entry;
            break;
        }
        const auto length = static_cast<WORD>(request.lengths[entry]);
        dwFree -= std::min<DWORD>(dwFree, RoundUp4(length));
        m_placements.push_back({entry, next, length, dwFree});
        next = static_cast<WORD>(RoundUp4(static_cast<WORD>(next + length)));
    }
    m_wBufferAddress = next;
}

void CModulePlan::Evict(const SModuleRequest& request, CFLASHFunctionMap& map)
{
    DWORD total = 0;
    for (int entry : {0, 1, 3, 2})
        if (map.GetEntry(entry) != 0)
            total = RoundUp4(total + request.lengths[entry]);
    // Compared signed: with less free RAM than one line nothing fits, so
    // everything not pinned goes (an unsigned difference would wrap and keep
    // every module).
    const long long room = static_cast<long long>(request.dwFreeRAM) - request.dwLineSize;
    const bool bPinned = request.dwRAMSize <= CFLASHDevice::kSmallRAM;
    for (int i = 3; i >= 0; --i) {
        if (static_cast<long long>(total) <= room && (!bPinned || i == 0))
            break;
        const eFLASHFunction function = request.priority[i];
        if (bPinned && function == request.priority[0])
            break;
        if (function == fnVerify) {
            ++m_nVerifyNotices;
            continue;
        }
        const int entry = CFLASHFunctionMap::EntryOf(function);
        if (entry < 0 || map.GetEntry(entry) == 0)
            continue;
        map.SetEntry(entry, 0);
        m_evicted.push_back(entry);
        total = RoundDown4(total > request.lengths[entry] ? total - request.lengths[entry] : 0);
    }
}
