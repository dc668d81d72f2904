#pragma once
// Binary archive: little-endian numbers, length-prefixed texts, and a class
// name before each object so that loading can re-create it. Loading past the
// end of the data sets a failure flag and yields zeros instead of throwing.
#include <string>

#include "platform/File.h"
#include "platform/String.h"
#include "platform/Types.h"

class CArchive
{
public:
    enum Mode { store = 0, load = 1 };

    CArchive(CFile* pFile, UINT nMode) : m_pFile(pFile), m_bLoading(nMode & load) {}
    CArchive(const CArchive&) = delete;
    CArchive& operator=(const CArchive&) = delete;

    bool IsLoading() const { return m_bLoading; }
    bool IsStoring() const { return !m_bLoading; }
    // True once a read ran short, a write failed or a record was malformed.
    bool HasFailed() const { return m_bFailed; }
    CFile* GetFile() const { return m_pFile; }

    bool Write(const void* p, UINT n);
    UINT Read(void* p, UINT n);

    CArchive& operator<<(BYTE v) { return PutLE(v, 1); }
    CArchive& operator<<(WORD v) { return PutLE(v, 2); }
    CArchive& operator<<(DWORD v) { return PutLE(v, 4); }
    CArchive& operator<<(int v) { return PutLE(static_cast<DWORD>(v), 4); }
    CArchive& operator<<(std::int64_t v) { return PutLE(static_cast<std::uint64_t>(v), 8); }
    CArchive& operator<<(std::uint64_t v) { return PutLE(v, 8); }
    CArchive& operator<<(bool v) { return PutLE(v ? 1u : 0u, 1); }
    CArchive& operator<<(float v);
    CArchive& operator<<(double v);
    CArchive& operator<<(const CString& s);

    CArchive& operator>>(BYTE& v);
    CArchive& operator>>(WORD& v);
    CArchive& operator>>(DWORD& v);
    CArchive& operator>>(int& v);
    CArchive& operator>>(std::int64_t& v);
    CArchive& operator>>(std::uint64_t& v);
    CArchive& operator>>(bool& v);
    CArchive& operator>>(float& v);
    CArchive& operator>>(double& v);
    CArchive& operator>>(CString& s);

    // A null object is stored as an empty class name and loads as nullptr.
    void WriteObject(const CObject* pObj);
    // The caller owns the result; nullptr for a null or unknown object.
    CObject* ReadObject();

    // Largest text a load accepts; longer lengths mark the archive failed.
    static constexpr DWORD kMaxString = 1u << 24;

private:
    CArchive& PutLE(std::uint64_t v, int bytes);
    std::uint64_t GetLE(int bytes);

    CFile* m_pFile;
    bool m_bLoading;
    bool m_bFailed = false;
};
