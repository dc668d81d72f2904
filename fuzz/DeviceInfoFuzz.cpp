// Arbitrary bytes as a device definition: the typed readers and the record
// loader must neither crash nor grow without bound, and whatever loads must
// come back unchanged from its archive form. The input is served from memory:
// one empty file stands for it, so the run makes no file per input.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

#include "devicedb/ConfigFile.h"
#include "devicedb/DeviceInfo.h"
#include "platform/Archive.h"
#include "platform/HostUI.h"
#include "platform/PrivateProfile.h"

namespace {
// Keeps the block-count warning off the fuzzer's output.
class CQuietHost : public CHostUI
{
public:
    void ShowStatus(eStatusKind, const CString&, WORD) override {}
};
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static CQuietHost s_host;
    SetHostUI(&s_host);
    // The definition reader asks that the file exist; its content comes from memory.
    static const std::string path = [] {
        const std::string p = "/tmp/zflash-fuzz-def-" + std::to_string(::getpid()) + ".ini";
        if (FILE* f = std::fopen(p.c_str(), "wb"))
            std::fclose(f);
        std::atexit([] { std::remove(("/tmp/zflash-fuzz-def-" + std::to_string(::getpid()) + ".ini").c_str()); });
        return p;
    }();
    static std::string text;
    text.assign(reinterpret_cast<const char*>(data), size);
    SetPrivateProfileMemoryFile(path.c_str(), &text);

    CConfigFile file;
    if (file.SetFileName(path.c_str())) {
        CString s;
        int n = 0;
        float fl = 0;
        unsigned long u = 0;
        file.GetString("Device Info", "EVB Name", "", s);
        file.GetInt("Device Info", "Erase Block Count", 0, &n);
        file.GetFloat("Device Info", "EVB Clock MHz", 0.0f, &fl);
        file.GetUnsigned("Erase Block 0", "Start (Hex)", 0, &u, true);
        if (u > 0xFFFFFFFFul)
            __builtin_trap();
        CString items[4];
        int count = 4;
        file.GetStringList("Device Info", "Technology", items, &count);
        unsigned long values[3];
        int valueCount = 3;
        file.GetUnsignedList("Device Info", "Device Code", values, &valueCount, true);
        if (count < 0 || count > 4 || valueCount < 0 || valueCount > 3)
            __builtin_trap();
    }

    CDeviceInfo info;
    info.LoadDeviceInfo(path.c_str());
    if (info.m_EraseBlocks.GetCount() > CDeviceInfo::kMaxEraseBlocks)
        __builtin_trap();

    CMemFile memory;
    {
        CArchive out(&memory, CArchive::store);
        info.Serialize(out);
    }
    CMemFile back(memory.Data());
    CArchive in(&back, CArchive::load);
    CDeviceInfo loaded;
    loaded.Serialize(in);
    if (in.HasFailed() || !loaded.HasSameDefinition(info))
        __builtin_trap();
    // Frees the memory file's index: an input that ends with as many frees as
    // allocations spares libFuzzer its leak check.
    SetPrivateProfileMemoryFile(path.c_str(), nullptr);
    return 0;
}
