#include "SerialNumber.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <set>
#include <sstream>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "Options.h"

namespace {
bool ParseCount(const std::string& text, std::uint64_t* pValue)
{
    if (text.empty() || text.size() > 20 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    errno = 0;
    const unsigned long long v = std::strtoull(text.c_str(), nullptr, 10);
    if (errno == ERANGE)
        return false;
    *pValue = v;
    return true;
}

std::string SystemError(const std::string& what, const std::string& path)
{
    return what + " '" + path + "': " + std::strerror(errno);
}

// The state file, locked for as long as this object lives.
class CLockedState
{
public:
    explicit CLockedState(const std::string& path)
    {
        m_fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (m_fd < 0 || ::flock(m_fd, LOCK_EX) != 0)
            return;
        std::string text;
        char buffer[4096];
        ssize_t got;
        while ((got = ::read(m_fd, buffer, sizeof buffer)) > 0)
            text.append(buffer, static_cast<size_t>(got));
        if (got < 0)
            return;
        std::istringstream lines(text);
        for (std::string line; std::getline(lines, line);) {
            const size_t eq = line.find('=');
            const std::string key = line.substr(0, eq);
            std::istringstream values(eq == std::string::npos ? "" : line.substr(eq + 1));
            std::uint64_t v = 0;
            if (key == "next" && values >> v)
                m_qwNext = v, m_bHaveNext = true;
            else if (key == "free")
                while (values >> v)
                    m_Free.insert(v);
        }
        m_bOK = true;
    }
    ~CLockedState()
    {
        if (m_fd >= 0)
            ::close(m_fd); // drops the lock
    }
    CLockedState(const CLockedState&) = delete;
    CLockedState& operator=(const CLockedState&) = delete;

    bool OK() const { return m_bOK; }
    bool Save()
    {
        std::string text = "next=" + std::to_string(m_qwNext) + "\nfree=";
        for (std::uint64_t v : m_Free)
            text += std::to_string(v) + " ";
        text += "\n";
        return ::ftruncate(m_fd, 0) == 0 &&
               ::pwrite(m_fd, text.data(), text.size(), 0) == static_cast<ssize_t>(text.size()) &&
               ::fsync(m_fd) == 0;
    }

    std::uint64_t m_qwNext = 0;
    bool m_bHaveNext = false;
    std::set<std::uint64_t> m_Free;

private:
    int m_fd = -1;
    bool m_bOK = false;
};
} // namespace

bool SSerialSpec::Parse(const std::string& text, SSerialSpec* pSpec, std::string* pError)
{
    std::vector<std::string> parts;
    std::stringstream in(text);
    for (std::string part; std::getline(in, part, ':');)
        parts.push_back(part);
    SSerialSpec s;
    auto fail = [&](const std::string& why) {
        *pError = "--serial '" + text + "': " + why;
        return false;
    };
    if (parts.size() < 2 || parts.size() > 4)
        return fail("write it as ADDR:START[:STEP][:FORMAT], e.g. 0x7FF0:1000:1:le32");
    if (!ParseNumber(parts[0], &s.dwAddress))
        return fail("'" + parts[0] + "' is not an address");
    if (!ParseCount(parts[1], &s.qwStart))
        return fail("START '" + parts[1] + "' is not a decimal number");
    size_t next = 2;
    if (parts.size() > next && !parts[next].empty() && std::isdigit(static_cast<unsigned char>(parts[next][0]))) {
        if (!ParseCount(parts[next], &s.qwStep) || s.qwStep == 0)
            return fail("STEP '" + parts[next] + "' is not a positive decimal number");
        ++next;
    }
    if (parts.size() > next) {
        const std::string& f = parts[next++];
        if (f.rfind("text", 0) == 0) {
            std::uint64_t digits = 0;
            if (!ParseCount(f.substr(4), &digits) || digits < 1 || digits > 20)
                return fail("text takes its number of digits, 1 to 20 (text8)");
            s.eForm = sfText;
            s.nWidth = static_cast<int>(digits);
        } else if ((f.rfind("le", 0) == 0 || f.rfind("be", 0) == 0) &&
                   (f.substr(2) == "16" || f.substr(2) == "32" || f.substr(2) == "64")) {
            s.eForm = f[0] == 'l' ? sfLittle : sfBig;
            s.nWidth = std::stoi(f.substr(2)) / 8;
        } else {
            return fail("FORMAT '" + f + "' is not le16, le32, le64, be16, be32, be64 or textN");
        }
    }
    if (parts.size() > next)
        return fail("too many fields");
    if (static_cast<std::uint64_t>(s.dwAddress) + static_cast<std::uint64_t>(s.nWidth) > 0x100000000ULL)
        return fail("the number would run past the 32-bit address space");
    *pSpec = s;
    return true;
}

bool SSerialSpec::Render(std::uint64_t number, std::vector<BYTE>* pBytes) const
{
    pBytes->clear();
    if (eForm == sfText) {
        std::string digits = std::to_string(number);
        if (digits.size() > static_cast<size_t>(nWidth))
            return false;
        digits.insert(0, static_cast<size_t>(nWidth) - digits.size(), '0');
        pBytes->assign(digits.begin(), digits.end());
        return true;
    }
    if (nWidth < 8 && (number >> (8 * nWidth)) != 0)
        return false;
    for (int i = 0; i < nWidth; ++i)
        pBytes->push_back(static_cast<BYTE>(number >> (8 * i)));
    if (eForm == sfBig)
        std::reverse(pBytes->begin(), pBytes->end());
    return true;
}

bool CSerialState::Take(const SSerialSpec& spec, std::uint64_t* pNumber, std::string* pError)
{
    CLockedState state(m_strPath);
    if (!state.OK()) {
        *pError = SystemError("cannot use the serial number state file", m_strPath);
        return false;
    }
    if (!state.m_bHaveNext || state.m_qwNext < spec.qwStart)
        state.m_qwNext = spec.qwStart;
    const auto freed = state.m_Free.lower_bound(spec.qwStart);
    if (freed != state.m_Free.end()) {
        *pNumber = *freed;
        state.m_Free.erase(freed);
    } else {
        *pNumber = state.m_qwNext;
        state.m_qwNext += spec.qwStep;
    }
    if (!state.Save()) {
        *pError = SystemError("cannot write the serial number state file", m_strPath);
        return false;
    }
    return true;
}

bool CSerialState::Give(std::uint64_t number, std::string* pError)
{
    CLockedState state(m_strPath);
    if (!state.OK()) {
        *pError = SystemError("cannot use the serial number state file", m_strPath);
        return false;
    }
    state.m_Free.insert(number);
    if (!state.Save()) {
        *pError = SystemError("cannot write the serial number state file", m_strPath);
        return false;
    }
    return true;
}
