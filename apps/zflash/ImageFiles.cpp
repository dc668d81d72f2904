#include "ImageFiles.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

#include "IntelHex.h"
#include "RecordOverlap.h"
#include "image/BinaryImage.h"
#include "image/BinaryImageFile.h"
#include "image/FLASHBinaryImage.h"

namespace {
std::string Lower(std::string s)
{
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

// The library falls back to raw data when an S-record file does not parse; the
// tool refuses instead, so a typo never reaches a chip.
class CStrictImageFile : public CBinaryImageFile
{
public:
    int LoadNormalFile(const char*, CBinaryImage*, int) override
    {
        m_bFellBack = true;
        return 0;
    }
    bool m_bFellBack = false;
};

std::string Size(unsigned long long bytes)
{
    return bytes >= (1ULL << 20) ? std::to_string(bytes >> 20) + " MiB" : std::to_string(bytes) + " bytes";
}

// Refuses a file from its size alone, before a byte is read.
bool CheckSize(const std::string& path, eImageFormat format, DWORD nBase, std::string* pError)
{
    struct stat st{};
    if (::stat(path.c_str(), &st) != 0)
        return true;
    const auto size = static_cast<unsigned long long>(st.st_size);
    const bool bText = format == ifSRecord || format == ifIntelHex;
    const unsigned long long limit = bText ? CImageFiles::kMaxTextBytes : CImageFiles::kMaxDataBytes;
    if (size > limit) {
        *pError = "'" + path + "' is " + Size(size) + ", more than any device's address space could use (at most " +
                  Size(limit) + (bText ? " of text" : "") + " is read)";
        return false;
    }
    if (format == ifRaw && nBase + size > 0x100000000ULL) {
        *pError = "'" + path + "' does not fit below 4 GiB at that --base";
        return false;
    }
    return true;
}

bool ReadText(const std::string& path, std::string& text, std::string* pError)
{
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) {
        *pError = "cannot open '" + path + "': " + std::strerror(errno);
        return false;
    }
    char buffer[1 << 16];
    size_t n;
    // The size was checked; a file that grows meanwhile is still cut at the limit.
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0 && text.size() <= CImageFiles::kMaxTextBytes)
        text.append(buffer, n);
    const bool bad = std::ferror(f) != 0;
    const int err = errno;
    std::fclose(f);
    if (bad)
        *pError = "cannot read '" + path + "': " + std::strerror(err);
    return !bad;
}

int HexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    c = static_cast<char>(c | 0x20);
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

bool LoadRaw(const std::string& path, DWORD nBase, CBinaryImage* pImage, std::string* pError)
{
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) {
        *pError = "cannot open '" + path + "': " + std::strerror(errno);
        return false;
    }
    std::vector<BYTE> buffer(1 << 16);
    unsigned long long address = nBase;
    size_t n;
    bool ok = true;
    while ((n = std::fread(buffer.data(), 1, buffer.size(), f)) > 0) {
        if (address + n > 0x100000000ULL || address + n - nBase > CImageFiles::kMaxDataBytes) {
            *pError = "'" + path + "' grew while it was read, past what an image can hold";
            ok = false;
            break;
        }
        pImage->SetDataFromFile(static_cast<DWORD>(address), static_cast<DWORD>(n), buffer.data());
        address += n;
    }
    if (ok && std::ferror(f)) {
        *pError = "cannot read '" + path + "': " + std::strerror(errno);
        ok = false;
    }
    std::fclose(f);
    if (!ok)
        pImage->UndoFileLoad();
    pImage->ResetUndoRedoMemory();
    return ok;
}

bool SaveRaw(const std::string& path, CBinaryImage* pImage, DWORD nFrom, DWORD nTo, std::string* pError)
{
    const std::vector<SImageRange> ranges = CImageFiles::Ranges(pImage);
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) {
        *pError = "cannot create '" + path + "': " + std::strerror(errno);
        return false;
    }
    // 0 .. 0xFFFFFFFF asks for the data's own span; any other window is written
    // whole, blank ends included (a read from address 0 must not start elsewhere).
    const bool span = nFrom == 0 && nTo == 0xFFFFFFFF;
    if (!span || !ranges.empty()) {
        const DWORD first = span ? ranges.front().first : nFrom;
        const DWORD last = span ? ranges.back().last : nTo;
        for (unsigned long long a = first; a <= last; a += 1 << 16) {
            const DWORD to = static_cast<DWORD>(std::min<unsigned long long>(last, a + (1 << 16) - 1));
            const std::vector<BYTE> buffer = CImageFiles::Extract(pImage, static_cast<DWORD>(a), to);
            std::fwrite(buffer.data(), 1, buffer.size(), f);
        }
    }
    const bool bad = std::ferror(f) != 0;
    if (std::fclose(f) != 0 || bad) {
        *pError = "cannot write '" + path + "': " + std::strerror(errno);
        return false;
    }
    return true;
}
} // namespace

eImageFormat CImageFiles::FormatFromName(const std::string& name)
{
    const std::string n = Lower(name);
    if (n == "srec" || n == "s-record" || n == "s19" || n == "mot")
        return ifSRecord;
    if (n == "fpr")
        return ifFPR;
    if (n == "cde")
        return ifCDE;
    if (n == "hex" || n == "ihex" || n == "intel-hex")
        return ifIntelHex;
    if (n == "raw" || n == "bin" || n == "binary")
        return ifRaw;
    return ifAuto;
}

const char* CImageFiles::FormatName(eImageFormat format)
{
    switch (format) {
    case ifSRecord: return "srec";
    case ifFPR: return "fpr";
    case ifCDE: return "cde";
    case ifIntelHex: return "hex";
    case ifRaw: return "raw";
    default: return "auto";
    }
}

eImageFormat CImageFiles::FormatFromPath(const std::string& path)
{
    const std::string ext = Lower(std::filesystem::path(path).extension().string());
    if (ext == ".hex" || ext == ".ihex" || ext == ".ihx")
        return ifIntelHex;
    if (ext == ".bin" || ext == ".raw")
        return ifRaw;
    if (ext == ".fpr")
        return ifFPR;
    if (ext == ".cde")
        return ifCDE;
    return ifSRecord;
}

bool CImageFiles::CanRead(const std::string& path, std::string* pError)
{
    struct stat st{};
    if (::stat(path.c_str(), &st) != 0) {
        *pError = errno == ENOENT ? "'" + path + "': no such file"
                                  : "cannot open '" + path + "': " + std::strerror(errno);
        return false;
    }
    // Opening a FIFO waits for a writer and a device can read without end:
    // only regular files are images.
    const char* kind = S_ISDIR(st.st_mode)    ? "a folder"
                       : S_ISCHR(st.st_mode)  ? "a character device"
                       : S_ISBLK(st.st_mode)  ? "a block device"
                       : S_ISFIFO(st.st_mode) ? "a FIFO (named pipe)"
                       : S_ISSOCK(st.st_mode) ? "a socket"
                       : S_ISREG(st.st_mode)  ? nullptr
                                              : "not a regular file";
    if (kind) {
        *pError = "'" + path + "' is " + kind + ", not an image file";
        return false;
    }
    if (::access(path.c_str(), R_OK) != 0) {
        *pError = "cannot open '" + path + "': " + std::strerror(errno);
        return false;
    }
    return true;
}

bool CImageFiles::CheckSRecords(std::string_view text, bool bLenient, std::string* pError)
{
    CRecordOverlap overlap;
    unsigned nLine = 0;
    auto fail = [&](const std::string& reason) {
        *pError = "line " + std::to_string(nLine) + ": " + reason;
        return false;
    };
    for (size_t pos = 0; pos < text.size();) {
        size_t eol = text.find('\n', pos);
        if (eol == std::string_view::npos)
            eol = text.size();
        std::string_view line = text.substr(pos, eol - pos);
        pos = eol + 1;
        ++nLine;
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t'))
            line.remove_suffix(1);
        // What the library refuses (no 'S', an unknown type, a short line) it reports itself.
        if (line.size() < 4 || line[0] != 'S')
            continue;
        const char type = line[1];
        const int addressBytes = type == '1' || type == '9' ? 2 : type == '2' || type == '8' ? 3
                                 : type == '3' || type == '7' ? 4 : type == '0' ? 2 : 0;
        if (!addressBytes)
            continue;
        auto byteAt = [&](size_t i) {
            return (std::max(HexValue(line[i]), 0) << 4) | std::max(HexValue(line[i + 1]), 0);
        };
        const size_t count = static_cast<size_t>(byteAt(2));
        const size_t used = 4 + 2 * count;
        if (!bLenient) {
            for (size_t i = 2; i < std::min(used, line.size()); ++i)
                if (HexValue(line[i]) < 0)
                    return fail("'" + std::string(1, line[i]) + "' is not a hexadecimal digit");
            if (line.size() > used)
                return fail("characters after the checksum");
        }
        if (line.size() < used || count < size_t(addressBytes) + 1)
            continue;
        if (type >= '7')
            break;
        if (type == '0')
            continue;
        DWORD address = 0;
        for (int i = 0; i < addressBytes; ++i)
            address = address << 8 | static_cast<DWORD>(byteAt(4 + 2 * size_t(i)));
        BYTE data[256];
        const size_t n = count - size_t(addressBytes) - 1;
        for (size_t i = 0; i < n; ++i)
            data[i] = static_cast<BYTE>(byteAt(4 + 2 * (size_t(addressBytes) + i)));
        DWORD conflict = 0;
        if (!overlap.Add(address, data, static_cast<DWORD>(n), &conflict) && !bLenient) {
            char reason[112];
            std::snprintf(reason, sizeof reason,
                          "a second, different value for address 0x%08X (use --lenient to let the later record win)",
                          conflict);
            return fail(reason);
        }
        if (overlap.Bytes() > kMaxDataBytes)
            return fail("more than " + Size(kMaxDataBytes) + " of data, more than any device's address space");
    }
    return true;
}

bool CImageFiles::LoadBytes(std::string_view bytes, eImageFormat format, DWORD nBase, CBinaryImage* pImage,
                            std::string* pError, bool bLenient)
{
    switch (format) {
    case ifIntelHex:
        if (bytes.size() > kMaxTextBytes) {
            *pError = "more than " + Size(kMaxTextBytes) + " of text";
            return false;
        }
        return CIntelHex::LoadText(bytes, pImage, pError, bLenient);
    case ifRaw:
        if (bytes.size() > kMaxDataBytes || nBase + bytes.size() > 0x100000000ULL) {
            *pError = "does not fit below 4 GiB at that base, or is more than " + Size(kMaxDataBytes);
            return false;
        }
        for (size_t done = 0; done < bytes.size();) {
            const DWORD n = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 1 << 16));
            pImage->SetDataFromFile(static_cast<DWORD>(nBase + done), n, reinterpret_cast<const BYTE*>(bytes.data() + done));
            done += n;
        }
        pImage->ResetUndoRedoMemory();
        return true;
    case ifSRecord:
        return CheckSRecords(bytes, bLenient, pError);
    default:
        *pError = std::string("the ") + FormatName(format) + " form is read by the library from a file";
        return false;
    }
}

bool CImageFiles::Load(const std::string& path, eImageFormat format, DWORD nBase, CBinaryImage* pImage,
                       CStatusUpdate* pSink, std::string* pError, bool bLenient)
{
    if (format == ifAuto)
        format = FormatFromPath(path);
    if (!CanRead(path, pError) || !CheckSize(path, format, nBase, pError))
        return false;
    std::error_code ec;
    switch (format) {
    case ifIntelHex:
    case ifSRecord: {
        std::string text, why;
        if (!ReadText(path, text, pError))
            return false;
        if (!LoadBytes(text, format, nBase, pImage, &why, bLenient)) {
            *pError = "'" + path + "' is not a valid " + (format == ifIntelHex ? "Intel HEX" : "S-record") + " file: " + why;
            return false;
        }
        if (format == ifIntelHex)
            return true;
        break;
    }
    case ifRaw:
        return LoadRaw(path, nBase, pImage, pError);
    default:
        break;
    }
    // The library picks the form by extension; a file named otherwise is read
    // through a temporary link with the right one.
    CStrictImageFile file;
    file.SetStatusUpdate(pSink);
    std::string source = path;
    std::filesystem::path link;
    const eImageFormat byName = FormatFromPath(path);
    if (byName != format) {
        link = std::filesystem::temp_directory_path() /
               ("zflash-in-" + std::to_string(::getpid()) + (format == ifFPR ? ".fpr" : format == ifCDE ? ".cde" : ".srec"));
        std::filesystem::remove(link, ec);
        std::filesystem::create_symlink(std::filesystem::absolute(path), link, ec);
        if (ec) {
            *pError = "cannot read '" + path + "' as " + FormatName(format) + ": " + ec.message();
            return false;
        }
        source = link.string();
    }
    // The image reports what it loaded; its messages go where the file's go.
    CStatusForward imageToSink(pSink ? pImage : nullptr, pSink, feRestore);
    const int ok = file.LoadFile(source.c_str(), pImage, 0);
    imageToSink.End();
    if (!link.empty())
        std::filesystem::remove(link, ec);
    if (file.m_bFellBack) {
        *pError = "'" + path + "' is not a valid S-record file (a bad checksum, record or line)";
        return false;
    }
    if (!ok) {
        *pError = "cannot load '" + path + "' (see the message above)";
        return false;
    }
    return true;
}

std::vector<BYTE> CImageFiles::Extract(CBinaryImage* pImage, DWORD nFrom, DWORD nTo)
{
    std::vector<BYTE> buffer(static_cast<std::size_t>(nTo - nFrom) + 1, 0xFF);
    // Only the data ranges are read: the image refuses reads outside its window.
    for (const SImageRange& r : Ranges(pImage)) {
        const DWORD from = std::max(nFrom, r.first);
        const DWORD to = std::min(nTo, r.last);
        if (from <= to)
            pImage->GetData(from, buffer.data() + (from - nFrom), to - from + 1);
    }
    return buffer;
}

bool CImageFiles::Save(const std::string& path, eImageFormat format, CBinaryImage* pImage, DWORD nFrom, DWORD nTo,
                       CStatusUpdate* pSink, std::string* pError)
{
    if (format == ifAuto)
        format = FormatFromPath(path);
    switch (format) {
    case ifIntelHex:
        return CIntelHex::Save(path.c_str(), pImage, nFrom, nTo, pError);
    case ifRaw:
        return SaveRaw(path, pImage, nFrom, nTo, pError);
    default:
        break;
    }
    CFLASHBinaryImageFile file;
    file.SetStatusUpdate(pSink);
    file.ForceFileType(format == ifFPR ? ftFPR : format == ifCDE ? ftCDE : ftSRecord);
    if (!file.SaveFile(path.c_str(), nFrom, nTo, pImage, 0, 1)) {
        *pError = "cannot write '" + path + "' (see the message above)";
        return false;
    }
    return true;
}

std::vector<SImageRange> CImageFiles::Ranges(CBinaryImage* pImage)
{
    std::vector<SImageRange> ranges;
    DWORD first = 0, last = 0, from = 0;
    int index = -1;
    while ((index = pImage->GetNextDataRangeByIndex(index, from, &first, &last)) != -1) {
        ranges.push_back({first, last});
        if (last == 0xFFFFFFFF)
            break;
        from = last + 1;
    }
    return ranges;
}

unsigned long long CImageFiles::DataBytes(const std::vector<SImageRange>& ranges)
{
    unsigned long long total = 0;
    for (const SImageRange& r : ranges)
        total += static_cast<unsigned long long>(r.last) - r.first + 1;
    return total;
}

DWORD CImageFiles::Checksum(CBinaryImage* pImage, const std::vector<SImageRange>& ranges)
{
    static const std::array<DWORD, 256> table = [] {
        std::array<DWORD, 256> t{};
        for (DWORD i = 0; i < 256; ++i) {
            DWORD c = i;
            for (int k = 0; k < 8; ++k)
                c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[i] = c;
        }
        return t;
    }();
    DWORD crc = 0xFFFFFFFFu;
    std::vector<BYTE> buffer(1 << 16);
    for (const SImageRange& r : ranges) {
        for (unsigned long long a = r.first; a <= r.last;) {
            const DWORD n = static_cast<DWORD>(std::min<unsigned long long>(buffer.size(), r.last - a + 1));
            pImage->GetData(static_cast<DWORD>(a), buffer.data(), n);
            for (DWORD i = 0; i < n; ++i)
                crc = table[(crc ^ buffer[i]) & 0xFF] ^ (crc >> 8);
            a += n;
        }
    }
    return crc ^ 0xFFFFFFFFu;
}
