#pragma once
// Text value type used at every interface of the library.
#include <compare>
#include <cstdarg>
#include <string>
#include <string_view>

#include "platform/Types.h"

class CString
{
public:
    CString() = default;
    CString(const char* psz) : m_str(psz ? psz : "") {}
    CString(const char* p, int nLength);
    CString(std::string s) : m_str(std::move(s)) {}
    CString(std::string_view s) : m_str(s) {}
    CString(char ch, int nRepeat = 1);

    // printf-style; returns *this for chaining.
    CString& Format(const char* pszFormat, ...) __attribute__((format(printf, 2, 3)));
    CString& FormatV(const char* pszFormat, va_list args) __attribute__((format(printf, 2, 0)));
    CString& AppendFormat(const char* pszFormat, ...) __attribute__((format(printf, 2, 3)));

    int GetLength() const { return static_cast<int>(m_str.size()); }
    bool IsEmpty() const { return m_str.empty(); }
    void Empty() { m_str.clear(); }

    char GetAt(int i) const;
    void SetAt(int i, char ch);
    char operator[](int i) const { return GetAt(i); }

    CString Left(int nCount) const;
    CString Mid(int nFirst) const;
    CString Mid(int nFirst, int nCount) const;
    CString Right(int nCount) const;

    // -1 when absent.
    int Find(char ch, int nStart = 0) const;
    int Find(const char* psz, int nStart = 0) const;
    int ReverseFind(char ch) const;
    int FindOneOf(const char* pszChars) const;

    CString& Trim();
    CString& Trim(const char* pszChars);
    CString& TrimLeft();
    CString& TrimLeft(const char* pszChars);
    CString& TrimRight();
    CString& TrimRight(const char* pszChars);

    CString& MakeUpper();
    CString& MakeLower();
    int Compare(const char* psz) const;
    int CompareNoCase(const char* psz) const;

    int Replace(const char* pszOld, const char* pszNew);
    int Replace(char chOld, char chNew);
    int Remove(char ch);
    int Insert(int nIndex, const char* psz);
    int Delete(int nIndex, int nCount = 1);

    // Text of a catalogue entry; false (and unchanged) for an unknown identifier.
    bool LoadString(UINT nID);

    const char* GetString() const { return m_str.c_str(); }
    operator const char*() const { return m_str.c_str(); }
    const std::string& str() const { return m_str; }

    CString& operator+=(const CString& s) { m_str += s.m_str; return *this; }
    CString& operator+=(const char* psz) { if (psz) m_str += psz; return *this; }
    CString& operator+=(char ch) { m_str += ch; return *this; }

    friend CString operator+(const CString& a, const CString& b) { return CString(a.m_str + b.m_str); }
    friend CString operator+(const CString& a, const char* b) { CString r(a); r += b; return r; }
    friend CString operator+(const char* a, const CString& b) { CString r(a); r += b; return r; }
    friend CString operator+(const CString& a, char b) { CString r(a); r += b; return r; }
    friend CString operator+(char a, const CString& b) { return CString(a) + b; }

    friend bool operator==(const CString& a, const CString& b) { return a.m_str == b.m_str; }
    friend bool operator==(const CString& a, const char* b) { return a.m_str == (b ? b : ""); }
    friend bool operator!=(const CString& a, const CString& b) { return !(a == b); }
    friend bool operator!=(const CString& a, const char* b) { return !(a == b); }
    friend bool operator<(const CString& a, const CString& b) { return a.m_str < b.m_str; }

private:
    std::string m_str;
};
