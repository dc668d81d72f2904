#include "devicedb/ConfigFile.h"

#include <cctype>
#include <cerrno>
#include <cfloat>
#include <climits>
#include <cstdlib>
#include <string>

#include "platform/File.h"
#include "platform/PrivateProfile.h"

ZF_IMPLEMENT_SERIAL(CConfigFile)

namespace {
constexpr unsigned long long kMaxUnsigned32 = 0xFFFFFFFFull;

const char* SkipBlanks(const char* p)
{
    while (*p && std::isspace(static_cast<unsigned char>(*p)))
        ++p;
    return p;
}

template <typename T, typename Format>
CString Join(const T* pValues, int nCount, Format format)
{
    CString text;
    for (int i = 0; pValues && i < nCount; ++i) {
        if (i > 0)
            text += '|';
        text += format(pValues[i]);
    }
    return text;
}
} // namespace

bool CConfigFile::SetFileName(CString path)
{
    if (path.IsEmpty() || !CFile::Exists(path))
        return false;
    m_strFileName = path;
    return true;
}

bool CConfigFile::IsValid(const CString& section, const CString& key) const
{
    return !m_strFileName.IsEmpty() && !section.IsEmpty() && !key.IsEmpty();
}

bool CConfigFile::HasSection(const CString& section) const
{
    return !m_strFileName.IsEmpty() && !section.IsEmpty() && PrivateProfileHasSection(section, m_strFileName);
}

CString CConfigFile::Lookup(const CString& section, const CString& key, const CString& strDefault) const
{
    return GetPrivateProfileStringA(section, key, strDefault, m_strFileName, kProfileBufferSize);
}

int CConfigFile::TextToInt(const CString& text)
{
    if (text.CompareNoCase("True") == 0)
        return 1;
    if (text.CompareNoCase("False") == 0)
        return 0;
    // Out-of-range numbers saturate instead of wrapping, as the C conversion does.
    const long long v = std::strtoll(text, nullptr, 10);
    if (v > INT_MAX)
        return INT_MAX;
    if (v < INT_MIN)
        return INT_MIN;
    return static_cast<int>(v);
}

float CConfigFile::TextToFloat(const CString& text)
{
    // Only the plain decimal form counts: "inf", "nan" and hexadecimal floats
    // read as 0, so a definition can never carry a non-finite clock.
    const char* p = SkipBlanks(text);
    std::string number;
    if (*p == '+' || *p == '-')
        number += *p++;
    bool digits = false;
    while (std::isdigit(static_cast<unsigned char>(*p))) {
        number += *p++;
        digits = true;
    }
    if (*p == '.') {
        number += *p++;
        while (std::isdigit(static_cast<unsigned char>(*p))) {
            number += *p++;
            digits = true;
        }
    }
    if (!digits)
        return 0.0f;
    if (*p == 'e' || *p == 'E') {
        std::string exponent(1, *p++);
        if (*p == '+' || *p == '-')
            exponent += *p++;
        if (std::isdigit(static_cast<unsigned char>(*p))) {
            while (std::isdigit(static_cast<unsigned char>(*p)))
                exponent += *p++;
            number += exponent;
        }
    }
    const double v = std::strtod(number.c_str(), nullptr);
    if (v > FLT_MAX)
        return FLT_MAX;
    if (v < -FLT_MAX)
        return -FLT_MAX;
    return static_cast<float>(v);
}

unsigned long CConfigFile::TextToUnsigned(const CString& text, bool bHex)
{
    // strtoul of a 32-bit platform: optional sign (a minus negates modulo 2^32),
    // "0x" allowed in base 16, saturation at 0xFFFFFFFF.
    const char* p = SkipBlanks(text);
    bool negative = false;
    if (*p == '+' || *p == '-')
        negative = *p++ == '-';
    if (!std::isxdigit(static_cast<unsigned char>(*p)))
        return 0;
    errno = 0;
    char* end = nullptr;
    const unsigned long long v = std::strtoull(p, &end, bHex ? 16 : 10);
    if (end == p)
        return 0;
    if (errno == ERANGE || v > kMaxUnsigned32)
        return static_cast<unsigned long>(kMaxUnsigned32);
    return static_cast<unsigned long>(negative ? ((kMaxUnsigned32 + 1 - v) & kMaxUnsigned32) : v);
}

bool CConfigFile::GetString(const CString& section, const CString& key, const CString& strDefault,
                            CString& value) const
{
    if (!IsValid(section, key)) {
        value = strDefault;
        return false;
    }
    CString text = Lookup(section, key, strDefault);
    text.Trim();
    if (!text.IsEmpty())
        value = text;
    return true;
}

bool CConfigFile::GetInt(const CString& section, const CString& key, int nDefault, int* pValue) const
{
    if (!pValue)
        return false;
    if (!IsValid(section, key)) {
        *pValue = nDefault;
        return false;
    }
    CString def;
    def.Format("%d", nDefault);
    const CString text = Lookup(section, key, def);
    if (!text.IsEmpty())
        *pValue = TextToInt(text);
    return true;
}

bool CConfigFile::GetFloat(const CString& section, const CString& key, float fDefault, float* pValue) const
{
    if (!pValue)
        return false;
    if (!IsValid(section, key)) {
        *pValue = fDefault;
        return false;
    }
    CString def;
    def.Format("%f", static_cast<double>(fDefault));
    const CString text = Lookup(section, key, def);
    if (!text.IsEmpty())
        *pValue = TextToFloat(text);
    return true;
}

bool CConfigFile::GetUnsigned(const CString& section, const CString& key, unsigned long nDefault,
                              unsigned long* pValue, bool bHex) const
{
    if (!pValue)
        return false;
    if (!IsValid(section, key)) {
        *pValue = nDefault;
        return false;
    }
    CString def;
    def.Format(bHex ? "%lX" : "%lu", nDefault);
    const CString text = Lookup(section, key, def);
    if (!text.IsEmpty())
        *pValue = TextToUnsigned(text, bHex);
    return true;
}

std::vector<CString> CConfigFile::Split(const CString& section, const CString& key, int nCapacity) const
{
    std::vector<CString> items;
    const CString text = Lookup(section, key, "");
    if (text.IsEmpty())
        return items;
    int from = 0;
    while (static_cast<int>(items.size()) < nCapacity) {
        const int bar = text.Find('|', from);
        CString item = bar < 0 ? text.Mid(from) : text.Mid(from, bar - from);
        items.push_back(item.Trim());
        if (bar < 0)
            break;
        from = bar + 1;
    }
    return items;
}

bool CConfigFile::GetStringList(const CString& section, const CString& key, CString* pValues, int* pCount) const
{
    return ReadList(section, key, pValues, pCount, [](const CString& item) { return item; });
}

bool CConfigFile::GetIntList(const CString& section, const CString& key, int* pValues, int* pCount) const
{
    return ReadList(section, key, pValues, pCount, [](const CString& item) {
        // Plain decimal numbers: "True"/"False" belong to the single-value reader only.
        const long long v = std::strtoll(item, nullptr, 10);
        return v > INT_MAX ? INT_MAX : v < INT_MIN ? INT_MIN : static_cast<int>(v);
    });
}

bool CConfigFile::GetFloatList(const CString& section, const CString& key, float* pValues, int* pCount) const
{
    return ReadList(section, key, pValues, pCount, [](const CString& item) { return TextToFloat(item); });
}

bool CConfigFile::GetUnsignedList(const CString& section, const CString& key, unsigned long* pValues, int* pCount,
                                  bool bHex) const
{
    return ReadList(section, key, pValues, pCount,
                    [bHex](const CString& item) { return TextToUnsigned(item, bHex); });
}

bool CConfigFile::WriteString(const CString& section, const CString& key, const CString& value) const
{
    if (!IsValid(section, key))
        return false;
    return WritePrivateProfileStringA(section, key, value, m_strFileName);
}

bool CConfigFile::WriteInt(const CString& section, const CString& key, int nValue) const
{
    CString text;
    text.Format("%d", nValue);
    return WriteString(section, key, text);
}

bool CConfigFile::WriteFloat(const CString& section, const CString& key, float fValue) const
{
    CString text;
    text.Format("%f", static_cast<double>(fValue));
    return WriteString(section, key, text);
}

bool CConfigFile::WriteUnsigned(const CString& section, const CString& key, unsigned long nValue, bool bHex) const
{
    CString text;
    text.Format(bHex ? "%lX" : "%lu", nValue);
    return WriteString(section, key, text);
}

bool CConfigFile::WriteStringList(const CString& section, const CString& key, const CString* pValues,
                                  int nCount) const
{
    return WriteString(section, key, Join(pValues, nCount, [](const CString& s) { return s; }));
}

bool CConfigFile::WriteIntList(const CString& section, const CString& key, const int* pValues, int nCount) const
{
    return WriteString(section, key, Join(pValues, nCount, [](int v) { return CString().Format("%d", v); }));
}

bool CConfigFile::WriteFloatList(const CString& section, const CString& key, const float* pValues,
                                 int nCount) const
{
    return WriteString(section, key, Join(pValues, nCount, [](float v) {
        return CString().Format("%f", static_cast<double>(v));
    }));
}

bool CConfigFile::WriteUnsignedList(const CString& section, const CString& key, const unsigned long* pValues,
                                    int nCount, bool bHex) const
{
    return WriteString(section, key, Join(pValues, nCount, [bHex](unsigned long v) {
        return CString().Format(bHex ? "%lX" : "%lu", v);
    }));
}
