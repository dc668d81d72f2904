#include "version/Version.h"

#include "platform/Register.h"

namespace {
const CNorvaneLibVersion& Record()
{
    static const CNorvaneLibVersion s_version(1, 0, 197, "", "Copyright (C) 2000 Orlanto. All rights reserved.",
                                              "06 January, 2000  12:23:36",
                                              "Orlanto Zentra FLASH programming library");
    return s_version;
}

// Builds the record when the shared object is loaded. Nothing else happens at
// load time: on Linux there is no host framework to register an extension
// module with, so no registration object exists and loading cannot fail here.
__attribute__((constructor)) void OnLibraryLoad()
{
    (void)Record();
}
} // namespace

CNorvaneLibVersion::CNorvaneLibVersion(BYTE nMajor, BYTE nMinor, DWORD nBuild, const CString& note,
                                       const CString& legal, const CString& buildDate,
                                       const CString& description)
{
    m_nMajor = nMajor;
    m_nMinor = nMinor;
    m_nBuild = nBuild;
    m_strNote = note;
    m_strLegal = legal;
    m_strBuildDate = buildDate;
    m_strDescription = description;
}

CNorvaneLibVersion::~CNorvaneLibVersion() = default;

int CNorvaneLibVersion::GetSupportedCommsCount() const
{
    return 2;
}

CString CNorvaneLibVersion::GetCommsName(int nIndex) const
{
    switch (nIndex) {
    case 0: return "Serial";
    case 1: return "Pelto";
    default: return CString();
    }
}

const CNorvaneLibVersion* GetVersionNorvane()
{
    return &Record();
}

int IsAJapanInstall()
{
    // The value is read into a 255-byte buffer, as the installer wrote it.
    const CString country =
        CRegister(rrLocalMachine).GetProfileStringA("SOFTWARE\\Orlanto\\Velk\\2.2", "Install Country", "", 255);
    return country.CompareNoCase("Japan") == 0 ? 1 : 0;
}
