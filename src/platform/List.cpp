#include "platform/List.h"

#include "platform/Archive.h"

void CObList::DeleteAll()
{
    for (CObject* p : *this)
        delete p;
    RemoveAll();
}

void CObList::Serialize(CArchive& ar)
{
    if (ar.IsStoring()) {
        ar << static_cast<DWORD>(GetCount());
        for (CObject* p : *this)
            ar.WriteObject(p);
        return;
    }
    DWORD n = 0;
    ar >> n;
    for (DWORD i = 0; i < n && !ar.HasFailed(); ++i) {
        CObject* p = ar.ReadObject();
        if (ar.HasFailed()) {
            delete p;
            break;
        }
        AddTail(p);
    }
}

void CStringList::Serialize(CArchive& ar)
{
    if (ar.IsStoring()) {
        ar << static_cast<DWORD>(GetCount());
        for (const CString& s : *this)
            ar << s;
        return;
    }
    DWORD n = 0;
    ar >> n;
    for (DWORD i = 0; i < n && !ar.HasFailed(); ++i) {
        CString s;
        ar >> s;
        if (!ar.HasFailed())
            AddTail(s);
    }
}
