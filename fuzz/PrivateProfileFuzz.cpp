// Arbitrary bytes as an INI file: reads and a write must neither crash nor
// lose what the file said about other keys. The file lives in memory.
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/PrivateProfile.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static std::string text;
    text.assign(reinterpret_cast<const char*>(data), size);
    const CString file("/nonexistent/zflash-fuzz.ini");
    SetPrivateProfileMemoryFile(file, &text);
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
    SetPrivateProfileMemoryFile(file, nullptr); // frees the index: no leak check for libFuzzer to run
    return 0;
}
