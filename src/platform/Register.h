#pragma once
// The settings store: one INI file, read at the moment of use.
//
// Location, first that applies: $ZFLASH_SETTINGS; $XDG_CONFIG_HOME/zflash/settings.ini;
// $HOME/.config/zflash/settings.ini.
//
// Roots: the default and the current-user root both read the plain sections
// (the file is the user's own). The local-machine root reads sections named
// "Machine\<key path>", e.g. [Machine\SOFTWARE\Orlanto\Velk\2.2].
#include "platform/String.h"
#include "platform/Types.h"

class CStatusUpdate;

enum eRegisterRoot { rrDefault, rrCurrentUser, rrLocalMachine };

class CRegister
{
public:
    // pWarnings receives a warning when a write fails; may be null.
    explicit CRegister(eRegisterRoot root = rrDefault, CStatusUpdate* pWarnings = nullptr);

    eRegisterRoot m_Root;

    unsigned GetProfileIntA(const CString& section, const CString& key, unsigned nDefault) const;
    CString GetProfileStringA(const CString& section, const CString& key, const CString& strDefault,
                              DWORD nSize = 1024) const;
    bool WriteProfileInt(const CString& section, const CString& key, unsigned nValue) const;
    bool WriteProfileStringA(const CString& section, const CString& key, const CString& value) const;

    // A value for this process only, read before the file's and never written
    // to it: a port that exists only while the program runs must not outlive
    // it in the user's settings.
    static void SetSessionValue(const CString& section, const CString& key, const CString& value);
    static void ClearSessionValues();

    static CString GetStorePath();
    // The section name a root gives to a section.
    CString SectionFor(const CString& section) const;

private:
    bool SessionValue(const CString& section, const CString& key, CString* pValue) const;

    CStatusUpdate* m_pWarnings;
};
