#include "sim/SimKernelFile.h"

#include <cstdio>
#include <cstring>
#include <memory>

namespace {
// Kernel and module files are a few KiB; anything far larger is not one.
constexpr long kMaxFileSize = 1L << 20;
} // namespace

void CSimKernelFile::Load(const CString& path, const char* pszRole)
{
    m_strPath = path;
    m_strRole = pszRole;
    m_strError.Empty();
    m_Bytes.clear();
    m_bLoaded = false;
    if (path.IsEmpty()) {
        m_strError.Format("the definition names no %s", pszRole);
        return;
    }
    std::unique_ptr<FILE, int (*)(FILE*)> f(std::fopen(path, "rb"), &std::fclose);
    if (!f) {
        m_strError.Format("cannot read the %s '%s': %s", pszRole, path.GetString(), std::strerror(errno));
        return;
    }
    std::fseek(f.get(), 0, SEEK_END);
    const long size = std::ftell(f.get());
    std::fseek(f.get(), 0, SEEK_SET);
    if (size < 0 || size > kMaxFileSize) {
        m_strError.Format("the %s '%s' is not a kernel file (%ld bytes)", pszRole, path.GetString(), size);
        return;
    }
    m_Bytes.resize(static_cast<std::size_t>(size));
    if (size > 0 && std::fread(m_Bytes.data(), 1, m_Bytes.size(), f.get()) != m_Bytes.size()) {
        m_strError.Format("cannot read the %s '%s'", pszRole, path.GetString());
        m_Bytes.clear();
        return;
    }
    m_bLoaded = true;
}

bool CSimKernelFile::Matches(const BYTE* p, std::size_t n, CString* pWhy) const
{
    CString dummy;
    if (!pWhy)
        pWhy = &dummy;
    if (!m_bLoaded) {
        *pWhy = m_strError;
        return false;
    }
    const std::size_t common = n < m_Bytes.size() ? n : m_Bytes.size();
    for (std::size_t i = 0; i < common; ++i) {
        if (p[i] != m_Bytes[i]) {
            pWhy->Format("differs from the %s '%s' at offset %zu (H'%02X where the file has H'%02X)",
                         m_strRole.GetString(), m_strPath.GetString(), i, p[i], m_Bytes[i]);
            return false;
        }
    }
    if (n != m_Bytes.size()) {
        pWhy->Format("is %zu bytes long, the %s '%s' %zu", n, m_strRole.GetString(), m_strPath.GetString(),
                     m_Bytes.size());
        return false;
    }
    return true;
}

WORD CSimKernelFile::Checksum(const std::vector<BYTE>& bytes)
{
    WORD sum = 0;
    for (std::size_t i = 0; i + 2 < bytes.size(); ++i)
        sum = static_cast<WORD>(sum + bytes[i]);
    return sum;
}

bool CSimKernelFile::ParseHeader(const std::vector<BYTE>& bytes, eKind* pKind, CString* pName)
{
    if (bytes.size() < kHeaderSize + 2 || std::memcmp(bytes.data(), kMagic, 4) != 0 || bytes[4] != 1)
        return false;
    const std::size_t length = (std::size_t(bytes[6]) << 8) | bytes[7];
    if (length != bytes.size())
        return false;
    const WORD stored = static_cast<WORD>((bytes[length - 2] << 8) | bytes[length - 1]);
    if (stored != Checksum(bytes))
        return false;
    if (pKind)
        *pKind = static_cast<eKind>(bytes[5]);
    if (pName) {
        std::size_t len = 0;
        while (len < 16 && bytes[8 + len] != 0)
            ++len;
        *pName = CString(reinterpret_cast<const char*>(&bytes[8]), static_cast<int>(len));
    }
    return true;
}
