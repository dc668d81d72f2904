#include "platform/PrivateProfile.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string_view>
#include <memory>
#include <unordered_map>
#include <unordered_set>
#include <cctype>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {
namespace fs = std::filesystem;

constexpr std::string_view kBlank = " \t\r\n\v\f";

std::string_view TrimView(std::string_view s)
{
    const auto b = s.find_first_not_of(kBlank);
    if (b == std::string_view::npos)
        return {};
    const auto e = s.find_last_not_of(kBlank);
    return s.substr(b, e - b + 1);
}

bool SameName(std::string_view a, const CString& b)
{
    // An empty view may carry a null pointer, which strncasecmp must not see.
    return a.size() == static_cast<std::size_t>(b.GetLength()) &&
           (a.empty() || strncasecmp(a.data(), b.GetString(), a.size()) == 0);
}

bool CFileExists(const CString& path)
{
    struct stat st {};
    return ::stat(path.GetString(), &st) == 0;
}

struct Content
{
    std::string text;
    std::vector<std::string_view> lines; // without their line ends
    bool crlf = false;
    int error = 0; // set when the file exists but could not be read whole
};

// The file's text into c; false when it cannot be opened (c.error set if it exists).
bool ReadInto(const CString& path, Content& c)
{
    std::ifstream in(path.GetString(), std::ios::binary);
    if (!in) {
        const int openError = errno ? errno : EACCES;
        if (CFileExists(path))
            c.error = openError;
        return false;
    }
    // In chunks: every lookup reads the file, so a small file must not cost a
    // buffer of the largest size.
    char chunk[1 << 14];
    for (std::size_t room = kMaxProfileFileSize; room > 0 && in;) {
        in.read(chunk, static_cast<std::streamsize>(std::min(sizeof chunk, room)));
        const auto got = static_cast<std::size_t>(in.gcount());
        c.text.append(chunk, got);
        room -= got;
    }
    if (in.bad() || (in.good() && in.peek() != std::char_traits<char>::eof()))
        c.error = in.bad() ? EIO : EFBIG;
    return true;
}

std::string g_strMemoryPath;
std::string* g_pMemoryText = nullptr;
// Bumped whenever the memory text is set or written, so its index knows it is stale.
unsigned long g_nMemoryGeneration = 0;

bool IsMemoryFile(const CString& path)
{
    return g_pMemoryText && g_strMemoryPath == path.GetString();
}

// Reads at most kMaxProfileFileSize bytes; an unreadable file gives no lines.
Content Load(const CString& path)
{
    Content c;
    if (IsMemoryFile(path)) {
        c.text = g_pMemoryText->substr(0, kMaxProfileFileSize);
        if (g_pMemoryText->size() > kMaxProfileFileSize)
            c.error = EFBIG;
    } else if (!ReadInto(path, c)) {
        return c;
    }
    std::string_view all(c.text);
    while (!all.empty()) {
        const auto nl = all.find('\n');
        std::string_view line = all.substr(0, nl);
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
            c.crlf = true;
        }
        c.lines.push_back(line);
        if (nl == std::string_view::npos)
            break;
        all.remove_prefix(nl + 1);
    }
    return c;
}

// The section name of a "[name]" line, or nullopt-like empty flag.
bool SectionOf(std::string_view line, std::string_view& name)
{
    line = TrimView(line);
    if (line.empty() || line.front() != '[')
        return false;
    line.remove_prefix(1);
    const auto close = line.find(']');
    name = TrimView(close == std::string_view::npos ? line : line.substr(0, close));
    return true;
}

bool KeyValueOf(std::string_view line, std::string_view& key, std::string_view& value)
{
    const std::string_view t = TrimView(line);
    if (t.empty() || t.front() == ';')
        return false;
    const auto eq = t.find('=');
    if (eq == std::string_view::npos)
        return false;
    key = TrimView(t.substr(0, eq));
    value = TrimView(t.substr(eq + 1));
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front())
        value = value.substr(1, value.size() - 2);
    return true;
}

// Index of the line holding the key's first value, or -1.
long FindKey(const Content& c, const CString& section, const CString& key, std::string_view* pValue)
{
    bool inSection = false;
    for (std::size_t i = 0; i < c.lines.size(); ++i) {
        std::string_view name, k, v;
        if (SectionOf(c.lines[i], name)) {
            inSection = SameName(name, section);
            continue;
        }
        if (inSection && KeyValueOf(c.lines[i], k, v) && SameName(k, key)) {
            if (pValue)
                *pValue = v;
            return static_cast<long>(i);
        }
    }
    return -1;
}

std::string OneLine(const CString& s)
{
    std::string r = s.str();
    for (char& ch : r)
        if (ch == '\r' || ch == '\n')
            ch = ' ';
    return r;
}

bool ReplaceFile(const fs::path& target, const std::string& data, int& err)
{
    std::error_code ec;
    if (target.has_parent_path())
        fs::create_directories(target.parent_path(), ec);
    std::string tmpl = target.string() + ".XXXXXX";
    const int fd = ::mkstemp(tmpl.data());
    if (fd < 0) {
        err = errno;
        return false;
    }
    struct stat st {};
    ::fchmod(fd, ::stat(target.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0644);
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            err = n < 0 ? errno : EIO;
            ::close(fd);
            ::unlink(tmpl.c_str());
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    if (::fsync(fd) != 0 || ::close(fd) != 0 || ::rename(tmpl.c_str(), target.c_str()) != 0) {
        err = errno;
        ::unlink(tmpl.c_str());
        return false;
    }
    return true;
}
} // namespace

namespace {
std::string Lower(std::string_view s)
{
    std::string r(s);
    for (char& ch : r)
        ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    return r;
}

// The memory file parsed once per text: each key's first value by lower-case
// "section\0key", as FindKey would find it. A fuzzer asks thousands of keys
// of one text; scanning it for each would cost more than the code under test.
struct MemoryIndex
{
    unsigned long generation = 0;
    // Built in place: its lines view its own text, so it must never move.
    std::unique_ptr<const Content> content;
    std::unordered_map<std::string, std::string_view> values;
    std::unordered_set<std::string> sections;
};

MemoryIndex g_memoryIndex;
bool g_bMemoryIndexBuilt = false;

const MemoryIndex& IndexMemoryFile()
{
    MemoryIndex& index = g_memoryIndex;
    bool& built = g_bMemoryIndexBuilt;
    if (built && index.generation == g_nMemoryGeneration)
        return index;
    index.content.reset(new Content(Load(CString(g_strMemoryPath.c_str()))));
    index.generation = g_nMemoryGeneration;
    index.values.clear();
    index.sections.clear();
    std::string section;
    bool inSection = false;
    for (std::string_view line : index.content->lines) {
        std::string_view name, k, v;
        if (SectionOf(line, name)) {
            section = Lower(name);
            index.sections.insert(section);
            inSection = true;
        } else if (inSection && KeyValueOf(line, k, v)) {
            index.values.emplace(section + '\0' + Lower(k), v);
        }
    }
    built = true;
    return index;
}

// Lower-case "section\0key" in a buffer reused from call to call: the memory
// file is read from one thread only.
const std::string& ProbeKey(const CString& section, const CString* pKey)
{
    static std::string probe;
    probe.clear();
    const auto add = [](const std::string& s) {
        for (char ch : s)
            probe.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(ch))));
    };
    add(section.str());
    if (pKey) {
        probe.push_back('\0');
        add(pKey->str());
    }
    return probe;
}

// The key's value as FindKey finds it; false when missing.
bool FindValue(const CString& path, const CString& section, const CString& key, std::string& value)
{
    std::string_view found;
    if (IsMemoryFile(path)) {
        const MemoryIndex& index = IndexMemoryFile();
        const auto it = index.values.find(ProbeKey(section, &key));
        if (it == index.values.end())
            return false;
        value = it->second;
        return true;
    }
    const Content c = Load(path);
    if (FindKey(c, section, key, &found) < 0)
        return false;
    value = found;
    return true;
}
} // namespace

CString GetPrivateProfileStringA(const CString& section, const CString& key, const CString& strDefault,
                                 const CString& path, DWORD nSize)
{
    const int limit = nSize == 0 ? 0 : static_cast<int>(nSize - 1);
    std::string value;
    if (!FindValue(path, section, key, value))
        return CString(TrimView(strDefault.str())).Left(limit);
    return CString(value).Left(limit);
}

UINT GetPrivateProfileIntA(const CString& section, const CString& key, int nDefault, const CString& path)
{
    std::string text;
    if (!FindValue(path, section, key, text))
        return static_cast<UINT>(nDefault);
    return static_cast<UINT>(std::strtol(text.c_str(), nullptr, 10));
}

void SetPrivateProfileMemoryFile(const CString& path, std::string* pText)
{
    g_strMemoryPath = pText ? path.str() : std::string();
    g_pMemoryText = pText;
    ++g_nMemoryGeneration;
    // Back to files: the index is let go, so that nothing stays allocated.
    if (!pText) {
        g_memoryIndex = MemoryIndex{};
        g_bMemoryIndexBuilt = false;
    }
}

bool PrivateProfileHasSection(const CString& section, const CString& path)
{
    if (IsMemoryFile(path))
        return IndexMemoryFile().sections.count(ProbeKey(section, nullptr)) > 0;
    const Content c = Load(path);
    std::string_view name;
    return std::any_of(c.lines.begin(), c.lines.end(),
                       [&](std::string_view line) { return SectionOf(line, name) && SameName(name, section); });
}

bool WritePrivateProfileStringA(const CString& section, const CString& key, const CString& value,
                                const CString& path, int* pError)
{
    int err = 0;
    if (section.IsEmpty() || key.IsEmpty() || path.IsEmpty()) {
        if (pError)
            *pError = EINVAL;
        return false;
    }
    // Programmers on several threads may write back at once; each rewrite must
    // see the one before it, or its key is lost.
    static std::mutex s_writeLock;
    std::lock_guard lock(s_writeLock);
    fs::path target(path.GetString());
    std::error_code ec;
    if (fs::is_symlink(target, ec))
        target = fs::canonical(target, ec);

    const Content c = Load(CString(target.string()));
    if (c.error) {
        // Rewriting a file we could not read whole would lose what we did not see.
        if (pError)
            *pError = c.error;
        return false;
    }
    const char* eol = c.crlf ? "\r\n" : "\n";
    const std::string newLine = OneLine(key) + "=" + OneLine(value);
    std::vector<std::string> out(c.lines.begin(), c.lines.end());

    const long at = FindKey(c, section, key, nullptr);
    if (at >= 0) {
        // Keep the key as the file spelt it.
        std::string_view k, v;
        KeyValueOf(c.lines[static_cast<std::size_t>(at)], k, v);
        out[static_cast<std::size_t>(at)] = std::string(k) + "=" + OneLine(value);
    } else {
        long sectionLine = -1, lastInSection = -1;
        for (std::size_t i = 0; i < c.lines.size(); ++i) {
            std::string_view name;
            if (SectionOf(c.lines[i], name)) {
                if (sectionLine >= 0)
                    break;
                if (SameName(name, section))
                    sectionLine = lastInSection = static_cast<long>(i);
            } else if (sectionLine >= 0 && !TrimView(c.lines[i]).empty()) {
                lastInSection = static_cast<long>(i);
            }
        }
        if (sectionLine >= 0) {
            out.insert(out.begin() + lastInSection + 1, newLine);
        } else {
            if (!out.empty() && !TrimView(out.back()).empty())
                out.emplace_back();
            out.push_back("[" + OneLine(section) + "]");
            out.push_back(newLine);
        }
    }

    std::string data;
    for (const auto& line : out)
        data.append(line).append(eol);
    if (IsMemoryFile(path)) {
        *g_pMemoryText = data;
        ++g_nMemoryGeneration;
        return true;
    }
    const bool ok = ReplaceFile(target, data, err);
    if (!ok && pError)
        *pError = err;
    return ok;
}
