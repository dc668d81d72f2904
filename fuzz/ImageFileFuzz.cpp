// Arbitrary bytes as an S-record, an FPR and a CDE file: the readers must
// neither crash nor leak, and a load must never leave more than it was given
// room for in a fixed window.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <unistd.h>

#include "image/BinaryImage.h"
#include "image/BinaryImageFile.h"
#include "platform/HostUI.h"

namespace {
// Answers every question and shows nothing, so the run stays quiet.
class CQuietHost : public CHostUI
{
public:
    eQueryType MessageBox(const CString&, eQueryType, eMessageIcon) override { return qtOK; }
    void ShowStatus(eStatusKind, const CString&, WORD) override {}
};

void Load(const std::string& path, const std::uint8_t* data, std::size_t size)
{
    if (FILE* f = std::fopen(path.c_str(), "wb")) {
        std::fwrite(data, 1, size, f);
        std::fclose(f);
    }
    CBinaryImage image(0x10000);
    const BYTE keep = 0xA5;
    image.SetData(0x8000, &keep, 1);
    CBinaryImageFile file;
    file.SetStatusUpdate(&image);
    if (file.LoadFile(path.c_str(), &image, 1) != 1)
        __builtin_trap();
    if (image.GetLastAddressInCache() > 0xFFFF)
        __builtin_trap();
    std::remove(path.c_str());
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static CQuietHost host;
    static const bool installed = (SetHostUI(&host), true);
    (void)installed;
    static const std::string base = "/tmp/zflash-fuzz-image-" + std::to_string(::getpid());
    Load(base + ".mot", data, size);
    Load(base + ".fpr", data, size);
    Load(base + ".cde", data, size);
    return 0;
}
