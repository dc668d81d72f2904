#pragma once
// The device database: says whether a device exists and gives its definition.
// A device is named by the path of its definition file; "GENERIC" stands for a
// device without a file, whose definition is all defaults. Definitions are read
// on demand, so the database holds no state that programmers share.
#include "devicedb/DeviceInfo.h"
#include "platform/List.h"
#include "platform/String.h"

class CFLASHDeviceDB : public CObList
{
    ZF_DECLARE_DYNAMIC(CFLASHDeviceDB)
public:
    CFLASHDeviceDB() = default;
    // Deletes every record it holds.
    ~CFLASHDeviceDB() override;

    // Loads nothing: definitions are read by GetDeviceInfo.
    bool LoadDB(CString name);
    // Writes the list of records to path; on failure a message box asks the
    // user to check the file, and GetLastSaveError tells the system's reason.
    bool SaveDB(CString path);
    const CString& GetLastSaveError() const { return m_strLastSaveError; }

    // "GENERIC" (exactly) or the path of an existing file.
    bool FindDevice(CString name) const;
    // A new record owned by the caller, or nullptr when FindDevice is false.
    CDeviceInfo* GetDeviceInfo(const CString& name) const;
    // A new copy owned by the caller; nullptr for a null source.
    CDeviceInfo* CopyDeviceInfo(const CDeviceInfo* pSource) const;

    // Storing writes the list's archive form; loading accepts device records only.
    void Serialize(CArchive& ar) override;

    static constexpr const char* kGenericDevice = "GENERIC";

private:
    CString m_strLastSaveError;
};

// The library's one database, alive as long as the library.
extern CFLASHDeviceDB g_FLASHDeviceDB;
