#include "DefinitionCheck.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

#include "devicedb/BlockItem.h"
#include "devicedb/DeviceInfo.h"
#include "platform/PrivateProfile.h"

namespace {
constexpr const char* kDeviceInfo = "Device Info";
constexpr const char* kMissing = "\x01";
constexpr unsigned long long kMaxClockMHz = 1000;
constexpr unsigned long long kMaxBaud = 10000000;

enum eNumber { nDecimal, nHex, nFloat };

// The value as written, or nullopt-like kMissing when the key is absent or empty.
std::string Raw(const std::string& path, const std::string& section, const char* key)
{
    const CString value = GetPrivateProfileStringA(section.c_str(), key, kMissing, path.c_str());
    return value.IsEmpty() ? std::string(kMissing) : value.str();
}

bool ParseValue(const std::string& text, eNumber kind, double* pValue)
{
    if (text.empty() || text == kMissing)
        return false;
    const char* begin = text.c_str();
    char* end = nullptr;
    errno = 0;
    if (kind == nFloat) {
        *pValue = std::strtod(begin, &end);
    } else {
        // A sign is not part of a size or a count: "-1" must not wrap to 4 GiB.
        if (text[0] == '-' || text[0] == '+')
            return false;
        const int base = kind == nHex ? 16 : 10;
        *pValue = static_cast<double>(std::strtoull(begin, &end, base));
    }
    return errno == 0 && end != begin && *end == 0;
}

class CChecker
{
public:
    CChecker(const std::string& path, std::string* pError) : m_path(path), m_pError(pError) {}

    // A number in [min, max] when given; required keys must be given.
    bool Number(const std::string& section, const char* key, eNumber kind, double min, double max, bool required,
                double* pValue = nullptr)
    {
        const std::string text = Raw(m_path, section, key);
        if (text == kMissing) {
            if (!required)
                return true;
            return Fail("[" + section + "] gives no \"" + std::string(key) + "\"");
        }
        double value = 0;
        if (!ParseValue(text, kind, &value) || value < min || value > max) {
            const char* what = kind == nHex ? "a hexadecimal number" : kind == nFloat ? "a number" : "a whole number";
            char range[96];
            std::snprintf(range, sizeof range, kind == nHex ? "from %llX to %llX" : "from %llu to %llu",
                          static_cast<unsigned long long>(min), static_cast<unsigned long long>(max));
            return Fail("[" + section + "] \"" + key + "\" = '" + text + "' is not " + what + " " + range);
        }
        if (pValue)
            *pValue = value;
        return true;
    }

    bool Fail(const std::string& reason)
    {
        *m_pError = "device definition '" + m_path + "': " + reason;
        return false;
    }

private:
    const std::string& m_path;
    std::string* m_pError;
};
} // namespace

std::string CDefinitionCheck::WhyNotReadable(const std::string& path)
{
    struct stat st{};
    if (::stat(path.c_str(), &st) != 0)
        return errno == ENOENT ? "missing" : std::strerror(errno);
    if (S_ISDIR(st.st_mode))
        return "a folder, not a file";
    if (!S_ISREG(st.st_mode))
        return S_ISCHR(st.st_mode) ? "a character device, not a file"
               : S_ISFIFO(st.st_mode) ? "a FIFO, not a file"
                                      : "not a regular file";
    if (::access(path.c_str(), R_OK) != 0)
        return std::string("not readable: ") + std::strerror(errno);
    return "";
}

bool CDefinitionCheck::Check(const std::string& path, const CDeviceInfo& info, std::string* pError)
{
    CChecker c(path, pError);
    const double kWord = 4294967295.0;
    double flash = 0, count = 0;
    if (!c.Number(kDeviceInfo, "FLASH ROM Size", nDecimal, 1, kWord, true, &flash) ||
        !c.Number(kDeviceInfo, "RAM Size", nDecimal, 1, kWord, true) ||
        !c.Number(kDeviceInfo, "Erase Block Count", nDecimal, 1, CDeviceInfo::kMaxEraseBlocks, true, &count) ||
        !c.Number(kDeviceInfo, "Protocol", nDecimal, 0, 1, false) ||
        !c.Number(kDeviceInfo, "EVB Clock MHz", nFloat, 1e-3, kMaxClockMHz, false) ||
        !c.Number(kDeviceInfo, "Baud Rate 0", nDecimal, 1, kMaxBaud, false) ||
        !c.Number(kDeviceInfo, "Kernel Handshake", nDecimal, 0, 255, false) ||
        !c.Number(kDeviceInfo, "JTAG Default TCKDiv", nDecimal, 0, 65535, false) ||
        !c.Number(kDeviceInfo, "JTAG Default CLK", nDecimal, 0, 65535, false))
        return false;

    // Blocks in address order, apart, inside the FLASH.
    unsigned long long end = 0;
    for (int i = 0; i < static_cast<int>(count); ++i) {
        const std::string section = "Erase Block " + std::to_string(i);
        double start = 0, size = 0;
        if (!c.Number(section, "Start (Hex)", nHex, 0, kWord, true, &start) ||
            !c.Number(section, "Size (Hex)", nHex, 1, kWord, true, &size))
            return false;
        for (const char* key : {"EBR0", "EBR1", "EBR2"})
            if (!c.Number(section, key, nDecimal, 0, 255, false))
                return false;
        const auto first = static_cast<unsigned long long>(start);
        const auto last = first + static_cast<unsigned long long>(size);
        char where[96];
        std::snprintf(where, sizeof where, "[%s] starts at %llX", section.c_str(), first);
        if (first < end)
            return c.Fail(std::string(where) + (i ? ", inside or before the block above it" : ""));
        if (last > static_cast<unsigned long long>(flash)) {
            std::snprintf(where, sizeof where, "[%s] ends at %llX, beyond the FLASH (\"FLASH ROM Size\" = %llu)",
                          section.c_str(), last - 1, static_cast<unsigned long long>(flash));
            return c.Fail(where);
        }
        end = last;
    }

    // Every file the definition names must be there before a port is opened.
    const struct
    {
        const char* key;
        const CString& value;
    } files[] = {{"uKernel", info.m_strMicroKernel},         {"USER uKernel", info.m_strUserMicroKernel},
                 {"Main Kernel", info.m_strMainKernel},      {"USER Main Kernel", info.m_strUserMainKernel},
                 {"CheckBlank module", info.m_strCheckBlankModule}, {"Erase module", info.m_strEraseModule},
                 {"Read module", info.m_strReadModule},      {"Verify module", info.m_strVerifyModule},
                 {"Write module", info.m_strWriteModule}};
    for (const auto& f : files) {
        if (f.value.IsEmpty())
            continue;
        const std::string file = info.ResolvePath(f.value).str();
        const std::string why = WhyNotReadable(file);
        if (!why.empty())
            return c.Fail(std::string("\"") + f.key + "\" names '" + file + "', which is " + why);
    }
    return true;
}
