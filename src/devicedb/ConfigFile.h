#pragma once
// Typed access to one device definition file. Holds nothing but the path:
// every lookup goes to the private-profile service, so each call reads the
// file anew and sees its present content.
//
// Numbers are target addresses and sizes: the unsigned readers give 32-bit
// values (larger numbers become 0xFFFFFFFF, as a 32-bit strtoul would).
#include <vector>

#include "platform/Object.h"
#include "platform/String.h"

class CConfigFile : public CObject
{
    ZF_DECLARE_DYNAMIC(CConfigFile)
public:
    CConfigFile() = default;
    ~CConfigFile() override = default;

    // True and the path is taken when it names an existing file; otherwise the old path stays.
    bool SetFileName(CString path);
    const CString& GetFileName() const { return m_strFileName; }

    // Each reader returns false (with the default in the output) when the path,
    // section or key is empty. A key present with an empty value leaves the
    // output as the caller had it; a missing key gives the default.
    bool GetString(const CString& section, const CString& key, const CString& strDefault, CString& value) const;
    // False for a missing section, where every read gives its default.
    bool HasSection(const CString& section) const;
    // "True"/"False" in any case give 1/0; other text its leading decimal integer (0 if none).
    bool GetInt(const CString& section, const CString& key, int nDefault, int* pValue) const;
    // The leading decimal floating-point number (0.0 if none).
    bool GetFloat(const CString& section, const CString& key, float fDefault, float* pValue) const;
    // Base 16 (an optional "0x" allowed) when bHex, base 10 otherwise.
    bool GetUnsigned(const CString& section, const CString& key, unsigned long nDefault, unsigned long* pValue,
                     bool bHex) const;

    // On entry *pCount is the capacity of values; on return the number of
    // "|"-separated items stored, each trimmed. A missing key gives 0 items.
    bool GetStringList(const CString& section, const CString& key, CString* pValues, int* pCount) const;
    bool GetIntList(const CString& section, const CString& key, int* pValues, int* pCount) const;
    bool GetFloatList(const CString& section, const CString& key, float* pValues, int* pCount) const;
    bool GetUnsignedList(const CString& section, const CString& key, unsigned long* pValues, int* pCount,
                         bool bHex) const;

    // Writers give the platform write's result; false and nothing written when not valid.
    bool WriteString(const CString& section, const CString& key, const CString& value) const;
    bool WriteInt(const CString& section, const CString& key, int nValue) const;
    bool WriteFloat(const CString& section, const CString& key, float fValue) const;
    bool WriteUnsigned(const CString& section, const CString& key, unsigned long nValue, bool bHex) const;
    bool WriteStringList(const CString& section, const CString& key, const CString* pValues, int nCount) const;
    bool WriteIntList(const CString& section, const CString& key, const int* pValues, int nCount) const;
    bool WriteFloatList(const CString& section, const CString& key, const float* pValues, int nCount) const;
    bool WriteUnsignedList(const CString& section, const CString& key, const unsigned long* pValues, int nCount,
                           bool bHex) const;

    // The conversions the readers apply to a value's text.
    static int TextToInt(const CString& text);
    static float TextToFloat(const CString& text);
    static unsigned long TextToUnsigned(const CString& text, bool bHex);

private:
    bool IsValid(const CString& section, const CString& key) const;
    // The value's text, or strDefault when the key is missing.
    CString Lookup(const CString& section, const CString& key, const CString& strDefault) const;
    // The value split at "|" into at most nCapacity trimmed items.
    std::vector<CString> Split(const CString& section, const CString& key, int nCapacity) const;
    // The list readers: split at "|" up to the capacity in *pCount, convert each item.
    template <typename T, typename Convert>
    bool ReadList(const CString& section, const CString& key, T* pValues, int* pCount, Convert convert) const
    {
        if (!pCount)
            return false;
        if (!pValues || !IsValid(section, key)) {
            *pCount = 0;
            return false;
        }
        const std::vector<CString> items = Split(section, key, *pCount);
        for (std::size_t i = 0; i < items.size(); ++i)
            pValues[i] = convert(items[i]);
        *pCount = static_cast<int>(items.size());
        return true;
    }

    CString m_strFileName;
};
