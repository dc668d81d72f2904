// The tool's own image loading on arbitrary bytes: the format found from a
// file name, Intel HEX strict and lenient, raw data at a base, and the strict
// S-record check. It must never crash; a refused input leaves the image empty;
// what strict reading accepts, lenient reading reads the same.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "ImageFiles.h"
#include "image/FLASHBinaryImage.h"
#include "platform/HostUI.h"

namespace {
class CQuietHost : public CHostUI
{
public:
    eQueryType MessageBox(const CString&, eQueryType, eMessageIcon) override { return qtOK; }
    void ShowStatus(eStatusKind, const CString&, WORD) override {}
};

const char* const kNames[] = {"a.hex", "a.IHX", "a.ihex", "a.bin", "a.raw", "a.mot", "a.s19", "a", ".hex", "a.hex.bin"};
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static CQuietHost host;
    static const bool installed = (SetHostUI(&host), true);
    (void)installed;
    if (size < 3)
        return 0;
    const eImageFormat format = CImageFiles::FormatFromPath(kNames[data[0] % std::size(kNames)]);
    const DWORD base = static_cast<DWORD>(data[1]) << 24 | static_cast<DWORD>(data[2]) << 8;
    const std::string_view bytes(reinterpret_cast<const char*>(data + 3), size - 3);

    CFLASHBinaryImage strict(0, nullptr);  // as the tool loads: the window grows to the data
    std::string error;
    const bool ok = CImageFiles::LoadBytes(bytes, format, base, &strict, &error, false);
    const std::vector<SImageRange> ranges = CImageFiles::Ranges(&strict);
    if (!ok && (error.empty() || !ranges.empty()))
        __builtin_trap();
    // Raw data lies where the base puts it (blank H'FF runs may be left out).
    if (ok && format == ifRaw && !ranges.empty() &&
        (ranges.front().first < base || ranges.back().last - base >= bytes.size() ||
         CImageFiles::DataBytes(ranges) > bytes.size()))
        __builtin_trap();
    if (ok && format == ifIntelHex && CImageFiles::DataBytes(ranges) * 2 > bytes.size())
        __builtin_trap();

    CFLASHBinaryImage lenient(0, nullptr);
    std::string why;
    const bool lenientOk = CImageFiles::LoadBytes(bytes, format, base, &lenient, &why, true);
    if (ok && (!lenientOk || CImageFiles::Checksum(&lenient, CImageFiles::Ranges(&lenient)) !=
                                 CImageFiles::Checksum(&strict, ranges)))
        __builtin_trap();
    return 0;
}
