#include "devicedb/DeviceDB.h"

#include <cstring>

#include "platform/Archive.h"
#include "platform/File.h"
#include "platform/HostUI.h"

ZF_IMPLEMENT_SERIAL(CFLASHDeviceDB)

CFLASHDeviceDB g_FLASHDeviceDB;

CFLASHDeviceDB::~CFLASHDeviceDB()
{
    DeleteAll();
}

bool CFLASHDeviceDB::LoadDB(CString)
{
    return true;
}

bool CFLASHDeviceDB::SaveDB(CString path)
{
    m_strLastSaveError.Empty();
    CFile file;
    bool ok = file.Open(path, CFile::modeCreate | CFile::modeWrite);
    if (ok) {
        CArchive ar(&file, CArchive::store);
        Serialize(ar);
        ok = !ar.HasFailed();
    }
    if (!ok) {
        const int error = file.GetLastError();
        m_strLastSaveError.Format("%s: %s", path.GetString(), error ? std::strerror(error) : "write failed");
    }
    file.Close();
    if (!ok)
        AfxMessageBox("Please check the properties of the file ", qtNotice, miNone);
    return ok;
}

bool CFLASHDeviceDB::FindDevice(CString name) const
{
    return name == kGenericDevice || (!name.IsEmpty() && CFile::Exists(name));
}

CDeviceInfo* CFLASHDeviceDB::GetDeviceInfo(const CString& name) const
{
    if (!FindDevice(name))
        return nullptr;
    auto* pInfo = new CDeviceInfo;
    // "GENERIC" is all defaults wherever the process runs, even beside a file of that name.
    if (name != kGenericDevice)
        pInfo->LoadDeviceInfo(name);
    return pInfo;
}

CDeviceInfo* CFLASHDeviceDB::CopyDeviceInfo(const CDeviceInfo* pSource) const
{
    return pSource ? new CDeviceInfo(pSource, CDeviceInfo::s_KernelRootPath) : nullptr;
}

void CFLASHDeviceDB::Serialize(CArchive& ar)
{
    if (ar.IsStoring()) {
        CObList::Serialize(ar);
        return;
    }
    DWORD count = 0;
    ar >> count;
    for (DWORD i = 0; i < count && !ar.HasFailed(); ++i) {
        CString className;
        ar >> className;
        if (ar.HasFailed() || className != "CDeviceInfo")
            break;
        auto* pInfo = new CDeviceInfo;
        pInfo->Serialize(ar);
        if (ar.HasFailed()) {
            delete pInfo;
            break;
        }
        AddTail(pInfo);
    }
}
