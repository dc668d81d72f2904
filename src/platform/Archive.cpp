#include "platform/Archive.h"

#include <bit>
#include <cstring>
#include <vector>

bool CArchive::Write(const void* p, UINT n)
{
    if (m_bLoading || !m_pFile || !m_pFile->Write(p, n)) {
        m_bFailed = true;
        return false;
    }
    return true;
}

UINT CArchive::Read(void* p, UINT n)
{
    const UINT got = (m_bLoading && m_pFile) ? m_pFile->Read(p, n) : 0;
    if (got != n) {
        m_bFailed = true;
        std::memset(static_cast<char*>(p) + got, 0, n - got);
    }
    return got;
}

CArchive& CArchive::PutLE(std::uint64_t v, int bytes)
{
    BYTE buf[8];
    for (int i = 0; i < bytes; ++i)
        buf[i] = static_cast<BYTE>(v >> (8 * i));
    Write(buf, static_cast<UINT>(bytes));
    return *this;
}

std::uint64_t CArchive::GetLE(int bytes)
{
    BYTE buf[8] = {};
    Read(buf, static_cast<UINT>(bytes));
    std::uint64_t v = 0;
    for (int i = bytes - 1; i >= 0; --i)
        v = (v << 8) | buf[i];
    return v;
}

CArchive& CArchive::operator<<(float v) { return PutLE(std::bit_cast<std::uint32_t>(v), 4); }
CArchive& CArchive::operator<<(double v) { return PutLE(std::bit_cast<std::uint64_t>(v), 8); }

CArchive& CArchive::operator<<(const CString& s)
{
    *this << static_cast<DWORD>(s.GetLength());
    Write(s.GetString(), static_cast<UINT>(s.GetLength()));
    return *this;
}

CArchive& CArchive::operator>>(BYTE& v) { v = static_cast<BYTE>(GetLE(1)); return *this; }
CArchive& CArchive::operator>>(WORD& v) { v = static_cast<WORD>(GetLE(2)); return *this; }
CArchive& CArchive::operator>>(DWORD& v) { v = static_cast<DWORD>(GetLE(4)); return *this; }
CArchive& CArchive::operator>>(int& v) { v = static_cast<int>(static_cast<DWORD>(GetLE(4))); return *this; }
CArchive& CArchive::operator>>(std::int64_t& v) { v = static_cast<std::int64_t>(GetLE(8)); return *this; }
CArchive& CArchive::operator>>(std::uint64_t& v) { v = GetLE(8); return *this; }
CArchive& CArchive::operator>>(bool& v) { v = GetLE(1) != 0; return *this; }
CArchive& CArchive::operator>>(float& v) { v = std::bit_cast<float>(static_cast<std::uint32_t>(GetLE(4))); return *this; }
CArchive& CArchive::operator>>(double& v) { v = std::bit_cast<double>(GetLE(8)); return *this; }

CArchive& CArchive::operator>>(CString& s)
{
    DWORD n = 0;
    *this >> n;
    s.Empty();
    if (m_bFailed)
        return *this;
    if (n > kMaxString) {
        m_bFailed = true;
        return *this;
    }
    std::string buf(n, '\0');
    if (Read(buf.data(), n) == n)
        s = CString(std::move(buf));
    return *this;
}

void CArchive::WriteObject(const CObject* pObj)
{
    *this << CString(pObj ? pObj->GetRuntimeClassName() : "");
    if (pObj)
        const_cast<CObject*>(pObj)->Serialize(*this);
}

CObject* CArchive::ReadObject()
{
    CString name;
    *this >> name;
    if (m_bFailed || name.IsEmpty())
        return nullptr;
    CObject* pObj = CObject::CreateObject(name);
    if (!pObj) {
        m_bFailed = true;
        return nullptr;
    }
    pObj->Serialize(*this);
    return pObj;
}
