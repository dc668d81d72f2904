#pragma once
// Binary files (CFile over a POSIX descriptor) and an in-memory file.
#include <vector>

#include "platform/Object.h"
#include "platform/String.h"
#include "platform/Types.h"

class CFile : public CObject
{
    ZF_DECLARE_DYNAMIC(CFile)
public:
    enum OpenFlags : UINT {
        modeRead = 0x0000,
        modeWrite = 0x0001,
        modeReadWrite = 0x0002,
        shareDenyWrite = 0x0020, // advisory only: Linux has no mandatory share modes
        shareDenyNone = 0x0040,
        modeNoTruncate = 0x1000,
        modeCreate = 0x2000,
        typeBinary = 0x8000,
    };
    enum SeekPosition { begin = 0, current = 1, end = 2 };

    CFile() = default;
    CFile(const CFile&) = delete;
    CFile& operator=(const CFile&) = delete;
    ~CFile() override;

    // False on failure; GetLastError/GetErrorText tell why.
    virtual bool Open(const CString& path, UINT nOpenFlags);
    virtual void Close();
    virtual bool IsOpen() const { return m_fd >= 0; }

    // Returns the count read (0 at end of file or on error).
    virtual UINT Read(void* pBuf, UINT nCount);
    virtual bool Write(const void* pBuf, UINT nCount);
    virtual long long Seek(long long offset, SeekPosition from);
    virtual long long GetPosition() const;
    virtual long long GetLength() const;
    virtual bool Flush();

    const CString& GetFilePath() const { return m_strPath; }
    int GetLastError() const { return m_nError; }
    CString GetErrorText() const;

    // True when a file (or folder) of that name exists.
    static bool Exists(const CString& path);

protected:
    int m_nError = 0;

private:
    int m_fd = -1;
    CString m_strPath;
};

// A file in memory; useful wherever an archive must not touch the disk.
class CMemFile : public CFile
{
    ZF_DECLARE_DYNAMIC(CMemFile)
public:
    CMemFile() = default;
    explicit CMemFile(std::vector<BYTE> data) : m_data(std::move(data)) {}

    bool Open(const CString&, UINT) override { return true; }
    void Close() override {}
    bool IsOpen() const override { return true; }
    UINT Read(void* pBuf, UINT nCount) override;
    bool Write(const void* pBuf, UINT nCount) override;
    long long Seek(long long offset, SeekPosition from) override;
    long long GetPosition() const override { return static_cast<long long>(m_pos); }
    long long GetLength() const override { return static_cast<long long>(m_data.size()); }
    bool Flush() override { return true; }

    const std::vector<BYTE>& Data() const { return m_data; }

private:
    std::vector<BYTE> m_data;
    std::size_t m_pos = 0;
};
