// Arbitrary bytes as an INI file: reads and a write must neither crash nor
// lose what the file said about other keys.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <unistd.h>

#include "platform/PrivateProfile.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static const std::string path = "/tmp/zflash-fuzz-ini-" + std::to_string(::getpid()) + ".ini";
    if (FILE* f = std::fopen(path.c_str(), "wb")) {
        std::fwrite(data, 1, size, f);
        std::fclose(f);
    }
    const CString file(path.c_str());
    const CString before = GetPrivateProfileStringA("Device", "Device Name", "none", file);
    (void)GetPrivateProfileIntA("Serial", "EraseTimeout", 30, file);
    (void)GetPrivateProfileStringA("", "", "", file, 1);
    if (WritePrivateProfileStringA("Fuzz", "Key", "Value", file)) {
        if (GetPrivateProfileStringA("Fuzz", "Key", "", file) != "Value")
            __builtin_trap();
        const CString after = GetPrivateProfileStringA("Device", "Device Name", "none", file);
        // Writing another section never changes what this key reads.
        if (after != before && CString(before).CompareNoCase("Value") != 0)
            __builtin_trap();
    }
    std::remove(path.c_str());
    return 0;
}
