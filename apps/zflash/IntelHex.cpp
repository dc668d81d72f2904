#include "IntelHex.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "RecordOverlap.h"
#include "image/BinaryImage.h"

namespace {
int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

bool Fail(std::string* pError, unsigned nLine, const std::string& reason)
{
    if (pError)
        *pError = "line " + std::to_string(nLine) + ": " + reason;
    return false;
}

bool ReadFileText(const char* pszPath, std::string& text, std::string* pError)
{
    FILE* f = std::fopen(pszPath, "rb");
    if (!f) {
        if (pError)
            *pError = std::string("cannot open '") + pszPath + "': " + std::strerror(errno);
        return false;
    }
    char buffer[1 << 16];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0)
        text.append(buffer, n);
    const bool bad = std::ferror(f) != 0;
    const int err = errno;
    std::fclose(f);
    if (bad && pError)
        *pError = std::string("cannot read '") + pszPath + "': " + std::strerror(err);
    return !bad;
}

// Contiguous records go to the image as one run, as the library's own readers do.
class CRunGatherer
{
public:
    explicit CRunGatherer(CBinaryImage* pImage) : m_pImage(pImage) {}
    void Add(DWORD nAddress, const BYTE* pBytes, DWORD nLength)
    {
        if (!m_Run.empty() && (nAddress != m_nStart + m_Run.size() || m_Run.size() + nLength > kRunSize))
            Flush();
        if (m_Run.empty())
            m_nStart = nAddress;
        m_Run.insert(m_Run.end(), pBytes, pBytes + nLength);
    }
    void Flush()
    {
        if (!m_Run.empty())
            m_pImage->SetDataFromFile(m_nStart, static_cast<DWORD>(m_Run.size()), m_Run.data());
        m_Run.clear();
    }

private:
    static constexpr size_t kRunSize = 4096;
    CBinaryImage* m_pImage;
    DWORD m_nStart = 0;
    std::vector<BYTE> m_Run;
};
} // namespace

bool CIntelHex::Parse(std::string_view text, const DataSink& sink, std::string* pError, DWORD* pStart,
                      bool bLenient, CRecordOverlap* pOverlap)
{
    unsigned long long base = 0;   // from the last 02 or 04 record
    bool bSegmented = false;       // 02: offsets wrap inside the 64 KiB segment
    unsigned nLine = 0;
    bool bEnd = false;
    BYTE record[5 + 255];
    size_t pos = 0;
    auto byteAt = [&](std::string_view digits, size_t i, int* pBad) {
        const int hi = HexDigit(digits[2 * i]);
        const int lo = HexDigit(digits[2 * i + 1]);
        if ((hi < 0 || lo < 0) && !bLenient)
            *pBad = 1;
        return static_cast<BYTE>(std::max(hi, 0) << 4 | std::max(lo, 0));
    };
    // Runs go to the overlap check first, so a conflict names its line.
    auto deliver = [&](DWORD address, const BYTE* bytes, DWORD length) {
        DWORD conflict = 0;
        if (pOverlap && !pOverlap->Add(address, bytes, length, &conflict) && !bLenient) {
            char reason[112];
            std::snprintf(reason, sizeof reason, "a second, different value for address 0x%08X (use --lenient to let the later record win)",
                          conflict);
            return Fail(pError, nLine, reason);
        }
        sink(address, bytes, length);
        return true;
    };
    while (pos < text.size() && !bEnd) {
        size_t eol = text.find('\n', pos);
        if (eol == std::string_view::npos)
            eol = text.size();
        std::string_view line = text.substr(pos, eol - pos);
        pos = eol + 1;
        ++nLine;
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t'))
            line.remove_suffix(1);
        if (line.empty())
            continue;
        if (line[0] != ':')
            return Fail(pError, nLine, "a record must start with ':'");
        std::string_view digits = line.substr(1);
        if (digits.size() < 10)
            return Fail(pError, nLine, "the record is too short");
        int bad = 0;
        const DWORD nCount = byteAt(digits, 0, &bad);
        const size_t nBytes = nCount + 5;
        if (digits.size() > 2 * nBytes) {
            if (!bLenient)
                return Fail(pError, nLine, "characters after the checksum");
            digits = digits.substr(0, 2 * nBytes);
        }
        if (digits.size() < 2 * nBytes)
            return Fail(pError, nLine, "the byte count says " + std::to_string(nCount) + " but the record holds " +
                                           std::to_string(digits.size() / 2 > 5 ? digits.size() / 2 - 5 : 0));
        BYTE sum = 0;
        for (size_t i = 0; i < nBytes; ++i) {
            record[i] = byteAt(digits, i, &bad);
            if (bad)
                return Fail(pError, nLine, "'" + std::string(digits.substr(2 * i, 2)) + "' is not a hexadecimal byte");
            sum = static_cast<BYTE>(sum + record[i]);
        }
        if (sum != 0)
            return Fail(pError, nLine, "wrong checksum");
        const DWORD nOffset = DWORD(record[1]) << 8 | record[2];
        const BYTE* data = record + 4;
        switch (record[3]) {
        case 0x00: {
            if (!bSegmented) {
                const unsigned long long first = base + nOffset;
                if (first + nCount > 0x100000000ULL)
                    return Fail(pError, nLine, "data runs past the 4 GiB address space");
                if (nCount && !deliver(static_cast<DWORD>(first), data, nCount))
                    return false;
                break;
            }
            // A segmented record that crosses its segment's end wraps to the segment's start.
            const DWORD nFirstPart = std::min<DWORD>(nCount, 0x10000 - nOffset);
            if (nFirstPart && !deliver(static_cast<DWORD>(base + nOffset), data, nFirstPart))
                return false;
            if (nCount > nFirstPart && !deliver(static_cast<DWORD>(base), data + nFirstPart, nCount - nFirstPart))
                return false;
            break;
        }
        case 0x01:
            if (nCount != 0)
                return Fail(pError, nLine, "an end-of-file record carries no data");
            bEnd = true;
            break;
        case 0x02:
            if (nCount != 2)
                return Fail(pError, nLine, "an extended segment address record holds 2 bytes");
            base = (DWORD(data[0]) << 8 | data[1]) * 16ULL;
            bSegmented = true;
            break;
        case 0x04:
            if (nCount != 2)
                return Fail(pError, nLine, "an extended linear address record holds 2 bytes");
            base = (DWORD(data[0]) << 8 | data[1]) * 0x10000ULL;
            bSegmented = false;
            break;
        case 0x03:
        case 0x05:
            if (nCount != 4)
                return Fail(pError, nLine, "a start address record holds 4 bytes");
            if (pStart)
                *pStart = DWORD(data[0]) << 24 | DWORD(data[1]) << 16 | DWORD(data[2]) << 8 | data[3];
            break;
        default:
            return Fail(pError, nLine, "unknown record type " + std::to_string(record[3]));
        }
    }
    if (!bEnd)
        return Fail(pError, nLine, "no end-of-file record (:00000001FF): the file may be cut short");
    return true;
}

bool CIntelHex::Load(const char* pszPath, CBinaryImage* pImage, std::string* pError, bool bLenient)
{
    std::string text;
    if (!ReadFileText(pszPath, text, pError))
        return false;
    return LoadText(text, pImage, pError, bLenient);
}

bool CIntelHex::LoadText(std::string_view text, CBinaryImage* pImage, std::string* pError, bool bLenient)
{
    // Check first, store second: a bad file leaves the image as it was.
    CRecordOverlap overlap;
    if (!Parse(text, [](DWORD, const BYTE*, DWORD) {}, pError, nullptr, bLenient, &overlap))
        return false;
    CRunGatherer runs(pImage);
    Parse(text, [&](DWORD a, const BYTE* p, DWORD n) { runs.Add(a, p, n); }, nullptr, nullptr, bLenient);
    runs.Flush();
    pImage->ResetUndoRedoMemory();
    return true;
}

bool CIntelHex::Save(const char* pszPath, CBinaryImage* pImage, DWORD nFrom, DWORD nTo, std::string* pError)
{
    FILE* f = std::fopen(pszPath, "wb");
    if (!f) {
        if (pError)
            *pError = std::string("cannot create '") + pszPath + "': " + std::strerror(errno);
        return false;
    }
    static constexpr char kDigits[] = "0123456789ABCDEF";
    auto record = [f](BYTE type, DWORD offset, const BYTE* p, DWORD n) {
        char line[16 + 2 * 255];
        char* out = line;
        BYTE sum = 0;
        auto put = [&](BYTE b) {
            *out++ = kDigits[b >> 4];
            *out++ = kDigits[b & 15];
            sum = static_cast<BYTE>(sum + b);
        };
        *out++ = ':';
        put(static_cast<BYTE>(n));
        put(static_cast<BYTE>(offset >> 8));
        put(static_cast<BYTE>(offset));
        put(type);
        for (DWORD i = 0; i < n; ++i)
            put(p[i]);
        put(static_cast<BYTE>(0x100 - sum));
        *out++ = '\n';
        std::fwrite(line, 1, size_t(out - line), f);
    };
    // Ranges are read a 64 KiB segment at a time: one extended address record each.
    std::vector<BYTE> piece(0x10000);
    DWORD first = 0, last = 0;
    int index = -1;
    DWORD from = nFrom;
    while ((index = pImage->GetNextDataRangeByIndex(index, from, &first, &last)) != -1) {
        if (first > nTo)
            break;
        first = std::max(first, nFrom);
        last = std::min(last, nTo);
        for (unsigned long long a = first; a <= last;) {
            const DWORD addr = static_cast<DWORD>(a);
            const DWORD n = static_cast<DWORD>(std::min<unsigned long long>(last - a + 1, 0x10000 - (a & 0xFFFF)));
            const BYTE upper[2] = {static_cast<BYTE>(addr >> 24), static_cast<BYTE>(addr >> 16)};
            record(0x04, 0, upper, 2);
            pImage->GetData(addr, piece.data(), n);
            for (DWORD k = 0; k < n; k += kRecordBytes)
                record(0x00, (addr + k) & 0xFFFF, piece.data() + k, std::min(kRecordBytes, n - k));
            a += n;
        }
        if (last == 0xFFFFFFFF || last >= nTo)
            break;
        from = last + 1;
    }
    record(0x01, 0, nullptr, 0);
    const bool bad = std::ferror(f) != 0;
    const int err = errno;
    if (std::fclose(f) != 0 || bad) {
        if (pError)
            *pError = std::string("cannot write '") + pszPath + "': " + std::strerror(err ? err : errno);
        return false;
    }
    return true;
}
