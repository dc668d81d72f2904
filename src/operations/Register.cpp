#include "operations/Register.h"

#include <cstdlib>
#include <cstring>

#include "operations/StatusUpdate.h"
#include "platform/PrivateProfile.h"

CRegister::CRegister(eRegisterRoot root, CStatusUpdate* pWarnings) : m_Root(root), m_pWarnings(pWarnings) {}

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
    return GetPrivateProfileIntA(SectionFor(section), key, static_cast<int>(nDefault), GetStorePath());
}

CString CRegister::GetProfileStringA(const CString& section, const CString& key, const CString& strDefault,
                                     DWORD nSize) const
{
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
