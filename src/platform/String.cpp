#include "platform/String.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <strings.h>
#include <vector>

#include "platform/MessageCatalogue.h"

namespace {
const char* const kWhite = " \t\r\n\v\f";

bool InRange(int i, std::size_t n) { return i >= 0 && static_cast<std::size_t>(i) < n; }
} // namespace

CString::CString(const char* p, int nLength)
{
    if (p && nLength > 0)
        m_str.assign(p, strnlen(p, static_cast<std::size_t>(nLength)));
}

CString::CString(char ch, int nRepeat)
{
    if (nRepeat > 0)
        m_str.assign(static_cast<std::size_t>(nRepeat), ch);
}

CString& CString::FormatV(const char* pszFormat, va_list args)
{
    if (!pszFormat) {
        m_str.clear();
        return *this;
    }
    va_list copy;
    va_copy(copy, args);
    char small[256];
    const int n = std::vsnprintf(small, sizeof small, pszFormat, copy);
    va_end(copy);
    if (n < 0) {
        m_str.clear();
    } else if (static_cast<std::size_t>(n) < sizeof small) {
        m_str.assign(small, static_cast<std::size_t>(n));
    } else {
        std::vector<char> big(static_cast<std::size_t>(n) + 1);
        std::vsnprintf(big.data(), big.size(), pszFormat, args);
        m_str.assign(big.data(), static_cast<std::size_t>(n));
    }
    return *this;
}

CString& CString::Format(const char* pszFormat, ...)
{
    va_list args;
    va_start(args, pszFormat);
    FormatV(pszFormat, args);
    va_end(args);
    return *this;
}

CString& CString::AppendFormat(const char* pszFormat, ...)
{
    CString tail;
    va_list args;
    va_start(args, pszFormat);
    tail.FormatV(pszFormat, args);
    va_end(args);
    m_str += tail.m_str;
    return *this;
}

char CString::GetAt(int i) const
{
    return InRange(i, m_str.size()) ? m_str[static_cast<std::size_t>(i)] : '\0';
}

void CString::SetAt(int i, char ch)
{
    if (InRange(i, m_str.size()))
        m_str[static_cast<std::size_t>(i)] = ch;
}

CString CString::Left(int nCount) const
{
    if (nCount <= 0)
        return {};
    return CString(m_str.substr(0, static_cast<std::size_t>(nCount)));
}

CString CString::Mid(int nFirst) const
{
    return Mid(nFirst, GetLength());
}

CString CString::Mid(int nFirst, int nCount) const
{
    if (nFirst < 0)
        nFirst = 0;
    if (nCount <= 0 || static_cast<std::size_t>(nFirst) >= m_str.size())
        return {};
    return CString(m_str.substr(static_cast<std::size_t>(nFirst), static_cast<std::size_t>(nCount)));
}

CString CString::Right(int nCount) const
{
    if (nCount <= 0)
        return {};
    const std::size_t n = std::min(m_str.size(), static_cast<std::size_t>(nCount));
    return CString(m_str.substr(m_str.size() - n));
}

int CString::Find(char ch, int nStart) const
{
    if (nStart < 0 || static_cast<std::size_t>(nStart) > m_str.size())
        return -1;
    const auto pos = m_str.find(ch, static_cast<std::size_t>(nStart));
    return pos == std::string::npos ? -1 : static_cast<int>(pos);
}

int CString::Find(const char* psz, int nStart) const
{
    if (!psz || nStart < 0 || static_cast<std::size_t>(nStart) > m_str.size())
        return -1;
    const auto pos = m_str.find(psz, static_cast<std::size_t>(nStart));
    return pos == std::string::npos ? -1 : static_cast<int>(pos);
}

int CString::ReverseFind(char ch) const
{
    const auto pos = m_str.rfind(ch);
    return pos == std::string::npos ? -1 : static_cast<int>(pos);
}

int CString::FindOneOf(const char* pszChars) const
{
    if (!pszChars)
        return -1;
    const auto pos = m_str.find_first_of(pszChars);
    return pos == std::string::npos ? -1 : static_cast<int>(pos);
}

CString& CString::Trim() { return TrimRight().TrimLeft(); }
CString& CString::Trim(const char* pszChars) { return TrimRight(pszChars).TrimLeft(pszChars); }
CString& CString::TrimLeft() { return TrimLeft(kWhite); }
CString& CString::TrimRight() { return TrimRight(kWhite); }

CString& CString::TrimLeft(const char* pszChars)
{
    if (pszChars)
        m_str.erase(0, std::min(m_str.size(), m_str.find_first_not_of(pszChars)));
    return *this;
}

CString& CString::TrimRight(const char* pszChars)
{
    if (pszChars) {
        const auto pos = m_str.find_last_not_of(pszChars);
        m_str.erase(pos == std::string::npos ? 0 : pos + 1);
    }
    return *this;
}

CString& CString::MakeUpper()
{
    for (char& c : m_str)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return *this;
}

CString& CString::MakeLower()
{
    for (char& c : m_str)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return *this;
}

int CString::Compare(const char* psz) const
{
    return std::strcmp(m_str.c_str(), psz ? psz : "");
}

int CString::CompareNoCase(const char* psz) const
{
    return strcasecmp(m_str.c_str(), psz ? psz : "");
}

int CString::Replace(const char* pszOld, const char* pszNew)
{
    if (!pszOld || !*pszOld)
        return 0;
    const std::string from(pszOld), to(pszNew ? pszNew : "");
    int count = 0;
    for (std::size_t pos = m_str.find(from); pos != std::string::npos; pos = m_str.find(from, pos + to.size())) {
        m_str.replace(pos, from.size(), to);
        ++count;
    }
    return count;
}

int CString::Replace(char chOld, char chNew)
{
    int count = 0;
    for (char& c : m_str)
        if (c == chOld) {
            c = chNew;
            ++count;
        }
    return count;
}

int CString::Remove(char ch)
{
    const auto before = m_str.size();
    std::erase(m_str, ch);
    return static_cast<int>(before - m_str.size());
}

int CString::Insert(int nIndex, const char* psz)
{
    if (psz) {
        const std::size_t at = std::clamp<std::size_t>(nIndex < 0 ? 0 : static_cast<std::size_t>(nIndex), 0, m_str.size());
        m_str.insert(at, psz);
    }
    return GetLength();
}

int CString::Delete(int nIndex, int nCount)
{
    if (nIndex >= 0 && nCount > 0 && static_cast<std::size_t>(nIndex) < m_str.size())
        m_str.erase(static_cast<std::size_t>(nIndex), static_cast<std::size_t>(nCount));
    return GetLength();
}

bool CString::LoadString(UINT nID)
{
    const char* text = LookupCatalogueText(nID);
    if (!text)
        return false;
    m_str = text;
    return true;
}
