#pragma once
// A kernel or module file named by the definition: what the host must send,
// byte for byte. The target compares every download with it.
//
// The files of the sample devices start with a short header (see
// docs/virtual-target.md); the comparison itself is over the whole file, so any
// file works.
#include <cstddef>
#include <vector>

#include "platform/String.h"
#include "platform/Types.h"

class CSimKernelFile
{
public:
    // Header of the sample files.
    static constexpr std::size_t kHeaderSize = 24;
    static constexpr BYTE kMagic[4] = {'Z', 'K', 'R', 'N'};

    // What a file is meant to be (header byte 5).
    enum eKind
    {
        kfUnknown = 0,
        kfMicroKernel = 0x01,
        kfMainKernel = 0x02,
        kfUserMicroKernel = 0x03,
        kfUserMainKernel = 0x04,
        kfWriteModule = 0x11,
        kfEraseModule = 0x12,
        kfReadModule = 0x13,
        kfCheckBlankModule = 0x14,
    };

    // Reads the file; an empty path or an unreadable file leaves it unloaded
    // with the reason kept.
    void Load(const CString& path, const char* pszRole);

    bool IsLoaded() const { return m_bLoaded; }
    const CString& GetPath() const { return m_strPath; }
    const CString& GetRole() const { return m_strRole; }
    const CString& GetError() const { return m_strError; }
    const std::vector<BYTE>& GetBytes() const { return m_Bytes; }
    DWORD GetSize() const { return static_cast<DWORD>(m_Bytes.size()); }

    // True when the bytes are the file; otherwise *pWhy says how they differ.
    bool Matches(const BYTE* p, std::size_t n, CString* pWhy) const;

    // Header fields of a sample file; false when the bytes carry no valid header.
    static bool ParseHeader(const std::vector<BYTE>& bytes, eKind* pKind, CString* pName);
    // The header's checksum: 16-bit sum of every byte but the last two, which hold it.
    static WORD Checksum(const std::vector<BYTE>& bytes);

private:
    CString m_strPath;
    CString m_strRole;
    CString m_strError;
    std::vector<BYTE> m_Bytes;
    bool m_bLoaded = false;
};
