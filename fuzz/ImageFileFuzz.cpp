// Arbitrary bytes as an S-record, an FPR or a CDE file: the readers must
// neither crash nor leak, a load must never leave more than it was given room
// for in a fixed window, and a text that falls back to raw data must leave the
// image as it was. The bytes are read from memory, not from a file. The first
// byte picks the form: parsing every input all three ways tripled the cost,
// and the fuzzer reaches each reader as well by choosing.
#include <cstddef>
#include <cstdint>
#include <cstdio>

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

// Opens the input bytes in memory as the form its name's extension gives.
class CMemoryImageFile : public CBinaryImageFile
{
public:
    CMemoryImageFile(const std::uint8_t* data, std::size_t size) : m_pData(data), m_nSize(size) {}
    void OpenFile(const char* pszPath, int) override
    {
        CloseFile();
        m_pFile = ::fmemopen(const_cast<std::uint8_t*>(m_pData), m_nSize, "rb");
        m_nFileType = TypeFromExtension(pszPath);
    }
    // The raw fallback reads the path itself; here it only records that it came.
    int LoadNormalFile(const char*, CBinaryImage*, int) override
    {
        m_bFellBack = true;
        return 1;
    }
    bool m_bFellBack = false;

private:
    const std::uint8_t* m_pData;
    std::size_t m_nSize;
};

void Load(const char* name, const std::uint8_t* data, std::size_t size)
{
    CBinaryImage image(0x10000);
    const BYTE keep = 0xA5;
    image.SetData(0x8000, &keep, 1);
    CMemoryImageFile file(data, size);
    file.SetStatusUpdate(&image);
    if (file.LoadFile(name, &image, 1) != 1)
        __builtin_trap();
    if (image.GetLastAddressInCache() > 0xFFFF)
        __builtin_trap();
    // A failed parse takes back everything it stored.
    if (file.m_bFellBack) {
        BYTE b = 0;
        DWORD first = 0, last = 0;
        if (!image.GetData(0x8000, &b, 1) || b != keep ||
            image.GetNextDataRangeByIndex(-1, 0, &first, &last) < 0 || first != 0x8000 || last != 0x8000)
            __builtin_trap();
    }
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static CQuietHost host;
    static const bool installed = (SetHostUI(&host), true);
    (void)installed;
    // An empty buffer cannot be opened in memory.
    if (size < 2)
        return 0;
    static const char* const names[] = {"fuzz.mot", "fuzz.fpr", "fuzz.cde"};
    Load(names[data[0] % 3], data + 1, size - 1);
    return 0;
}
