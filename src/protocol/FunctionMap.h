#pragma once
// Which operation modules sit in target RAM, and where.
#include "platform/Types.h"

// The operations for which a module may be needed.
enum eFLASHFunction : int {
    fnWrite = 1,
    fnRead = 2,
    fnErase = 3,
    fnCheckBlank = 4,
    fnVerify = 5, // no kernel supports it: it has no map entry
};

// Six 16-bit entries, in wire order: write, erase, read, check blank, and two
// reserved entries that stay 0. Each holds the module's address relative to
// the kernel's load address, 0 when not loaded, or 1 while planning ("wanted").
class CFLASHFunctionMap
{
public:
    static constexpr int kEntries = 6;
    // Entries that name a module; the last two are reserved.
    static constexpr int kModuleEntries = 4;
    static constexpr WORD kWanted = 1;

    CFLASHFunctionMap() = default;
    CFLASHFunctionMap(const CFLASHFunctionMap&) = default;
    CFLASHFunctionMap& operator=(const CFLASHFunctionMap&) = default;

    // The entry of a function: write 0, erase 1, read 2, check blank 3; -1 for
    // fnVerify or any other value.
    static int EntryOf(eFLASHFunction function);

    // 0 for an index outside the map.
    WORD GetEntry(int nIndex) const;
    // Ignored for an index outside the map.
    void SetEntry(int nIndex, WORD wValue);
    // 0 for a function without an entry.
    WORD GetFunction(eFLASHFunction function) const { return GetEntry(EntryOf(function)); }
    void SetFunction(eFLASHFunction function, WORD wValue) { SetEntry(EntryOf(function), wValue); }

    // Clears the four module entries.
    void Invalidate();
    // Index of the last non-zero entry plus one; 0 when every entry is 0.
    int GetUsedCount() const;

    friend bool operator==(const CFLASHFunctionMap&, const CFLASHFunctionMap&) = default;

private:
    WORD m_wEntries[kEntries] = {};
};
