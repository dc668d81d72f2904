#include "platform/Register.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>

#include "platform/PrivateProfile.h"
#include "platform/StatusUpdate.h"

namespace {

std::mutex g_sessionLock;
std::map<std::string, std::string> g_sessionValues;

// Names match without regard to case, as in the file.
std::string SessionKey(const CString& section, const CString& key)
{
    std::string name = section.str() + '\n' + key.str();
    std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::tolower(c); });
    return name;
}

} // namespace

CRegister::CRegister(eRegisterRoot root, CStatusUpdate* pWarnings) : m_Root(root), m_pWarnings(pWarnings) {}

void CRegister::SetSessionValue(const CString& section, const CString& key, const CString& value)
{
    std::lock_guard lock(g_sessionLock);
    g_sessionValues[SessionKey(section, key)] = value.str();
}

void CRegister::ClearSessionValues()
{
    std::lock_guard lock(g_sessionLock);
    g_sessionValues.clear();
}

bool CRegister::SessionValue(const CString& section, const CString& key, CString* pValue) const
{
    std::lock_guard lock(g_sessionLock);
    const auto it = g_sessionValues.find(SessionKey(SectionFor(section), key));
    if (it == g_sessionValues.end())
        return false;
    *pValue = it->second.c_str();
    return true;
}

CString CRegister::GetStorePath()
{
    if (const char* explicitPath = std::getenv("ZFLASH_SETTINGS"); explicitPath && *explicitPath)
        return explicitPath;
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg)
        return CString(xdg) + "/zflash/settings.ini";
    if (const char* home = std::getenv("HOME"); home && *home)
        return CString(home) + "/.config/zflash/settings.ini";
    return "zflash-settings.ini";
}

CString CRegister::SectionFor(const CString& section) const
{
    return m_Root == rrLocalMachine ? CString("Machine\\") + section : section;
}

unsigned CRegister::GetProfileIntA(const CString& section, const CString& key, unsigned nDefault) const
{
    if (CString value; SessionValue(section, key, &value))
        return static_cast<unsigned>(std::strtol(value.GetString(), nullptr, 10));
    return GetPrivateProfileIntA(SectionFor(section), key, static_cast<int>(nDefault), GetStorePath());
}

CString CRegister::GetProfileStringA(const CString& section, const CString& key, const CString& strDefault,
                                     DWORD nSize) const
{
    if (CString value; SessionValue(section, key, &value))
        return value;
    return GetPrivateProfileStringA(SectionFor(section), key, strDefault, GetStorePath(), nSize);
}

bool CRegister::WriteProfileInt(const CString& section, const CString& key, unsigned nValue) const
{
    CString text;
    text.Format("%u", nValue);
    return WriteProfileStringA(section, key, text);
}

bool CRegister::WriteProfileStringA(const CString& section, const CString& key, const CString& value) const
{
    const CString path = GetStorePath();
    int err = 0;
    if (WritePrivateProfileStringA(SectionFor(section), key, value, path, &err))
        return true;
    if (m_pWarnings) {
        CString text;
        text.Format("Unable to save setting %s\\%s to %s: %s", section.GetString(), key.GetString(),
                    path.GetString(), std::strerror(err));
        m_pWarnings->DisplayWarning(text, 0);
    }
    return false;
}
