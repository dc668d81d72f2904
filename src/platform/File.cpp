#include "platform/File.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

CFile::~CFile()
{
    CFile::Close();
}

bool CFile::Open(const CString& path, UINT nOpenFlags)
{
    Close();
    int flags = O_CLOEXEC;
    if (nOpenFlags & modeReadWrite)
        flags |= O_RDWR;
    else if (nOpenFlags & modeWrite)
        flags |= O_WRONLY;
    else
        flags |= O_RDONLY;
    if (nOpenFlags & modeCreate) {
        flags |= O_CREAT;
        if (!(nOpenFlags & modeNoTruncate))
            flags |= O_TRUNC;
    }
    const int fd = ::open(path, flags, 0666);
    if (fd < 0) {
        m_nError = errno;
        return false;
    }
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
        ::close(fd);
        m_nError = EISDIR;
        return false;
    }
    m_fd = fd;
    m_strPath = path;
    m_nError = 0;
    return true;
}

void CFile::Close()
{
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
}

UINT CFile::Read(void* pBuf, UINT nCount)
{
    if (m_fd < 0 || !pBuf)
        return 0;
    auto* p = static_cast<char*>(pBuf);
    UINT total = 0;
    while (total < nCount) {
        const ssize_t n = ::read(m_fd, p + total, nCount - total);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n < 0)
                m_nError = errno;
            break;
        }
        total += static_cast<UINT>(n);
    }
    return total;
}

bool CFile::Write(const void* pBuf, UINT nCount)
{
    if (m_fd < 0 || (!pBuf && nCount))
        return false;
    const auto* p = static_cast<const char*>(pBuf);
    UINT total = 0;
    while (total < nCount) {
        const ssize_t n = ::write(m_fd, p + total, nCount - total);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            m_nError = n < 0 ? errno : EIO;
            return false;
        }
        total += static_cast<UINT>(n);
    }
    return true;
}

long long CFile::Seek(long long offset, SeekPosition from)
{
    if (m_fd < 0)
        return -1;
    const int whence = from == begin ? SEEK_SET : from == current ? SEEK_CUR : SEEK_END;
    const off_t r = ::lseek(m_fd, static_cast<off_t>(offset), whence);
    if (r < 0)
        m_nError = errno;
    return r;
}

long long CFile::GetPosition() const
{
    return m_fd < 0 ? -1 : ::lseek(m_fd, 0, SEEK_CUR);
}

long long CFile::GetLength() const
{
    struct stat st {};
    if (m_fd < 0 || ::fstat(m_fd, &st) != 0)
        return -1;
    return st.st_size;
}

bool CFile::Flush()
{
    return m_fd >= 0 && ::fsync(m_fd) == 0;
}

CString CFile::GetErrorText() const
{
    return CString(std::strerror(m_nError));
}

bool CFile::Exists(const CString& path)
{
    struct stat st {};
    return !path.IsEmpty() && ::stat(path, &st) == 0;
}

UINT CMemFile::Read(void* pBuf, UINT nCount)
{
    if (!pBuf || m_pos >= m_data.size())
        return 0;
    const std::size_t n = std::min<std::size_t>(nCount, m_data.size() - m_pos);
    std::memcpy(pBuf, m_data.data() + m_pos, n);
    m_pos += n;
    return static_cast<UINT>(n);
}

bool CMemFile::Write(const void* pBuf, UINT nCount)
{
    if (!pBuf && nCount)
        return false;
    if (m_pos + nCount > m_data.size())
        m_data.resize(m_pos + nCount);
    if (nCount)
        std::memcpy(m_data.data() + m_pos, pBuf, nCount);
    m_pos += nCount;
    return true;
}

long long CMemFile::Seek(long long offset, SeekPosition from)
{
    const long long base = from == begin ? 0 : from == current ? static_cast<long long>(m_pos) : GetLength();
    const long long target = base + offset;
    if (target < 0)
        return -1;
    m_pos = static_cast<std::size_t>(target);
    return target;
}
