#pragma once
// The library's identity: its version record, the channel kinds it supports
// and the locale of the installation.
#include "platform/String.h"
#include "platform/Types.h"

struct CLibVersion
{
    BYTE m_nMajor = 0;
    BYTE m_nMinor = 0;
    DWORD m_nBuild = 0;
    CString m_strNote;
    CString m_strLegal;
    CString m_strBuildDate;
    CString m_strDescription;
};

class CNorvaneLibVersion : public CLibVersion
{
public:
    CNorvaneLibVersion(BYTE nMajor, BYTE nMinor, DWORD nBuild, const CString& note, const CString& legal,
                       const CString& buildDate, const CString& description);
    CNorvaneLibVersion(const CNorvaneLibVersion&) = default;
    CNorvaneLibVersion& operator=(const CNorvaneLibVersion&) = default;
    virtual ~CNorvaneLibVersion();

    int GetSupportedCommsCount() const;
    // "Serial", "Pelto", or an empty text for any other index.
    CString GetCommsName(int nIndex) const;
};

// The record built when the library is loaded.
const CNorvaneLibVersion* GetVersionNorvane();

// 1 when the settings store's local-machine root names Japan as the install country.
int IsAJapanInstall();
