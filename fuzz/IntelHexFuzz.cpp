// The tool's Intel HEX reader on arbitrary text: it must never crash, and what
// it reports must be consistent with the input it accepted.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "IntelHex.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    unsigned long long total = 0;
    std::string error;
    const bool ok = CIntelHex::Parse(
        text,
        [&](DWORD address, const BYTE* bytes, DWORD length) {
            // A run is part of one record and stays inside the 32-bit address space.
            if (length == 0 || length > 255 || static_cast<unsigned long long>(address) + length > 0x100000000ULL)
                std::abort();
            volatile BYTE last = bytes[length - 1];
            (void)last;
            total += length;
        },
        &error);
    // Every data byte takes two hex digits of the input.
    if (total * 2 > size)
        std::abort();
    if (!ok && error.rfind("line ", 0) != 0)
        std::abort();
    return 0;
}
