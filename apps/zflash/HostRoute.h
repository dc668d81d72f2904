#pragma once
// The library has one host for the whole process, but a gang run has one
// console and one set of answers per target. This host sends each call to the
// host of the target whose thread makes it, else to the fallback.
#include "platform/HostUI.h"

class CHostRoute : public CHostUI
{
public:
    explicit CHostRoute(CHostUI& fallback) : m_fallback(fallback) {}

    eQueryType MessageBox(const CString& text, eQueryType style, eMessageIcon icon = miNone) override
    {
        return Pick().MessageBox(text, style, icon);
    }
    void ShowStatus(eStatusKind kind, const CString& text, WORD nID) override { Pick().ShowStatus(kind, text, nID); }

    // The host of the calling thread; threads a job starts take it over (see CSession::Run).
    static CHostUI* Current();
    static void SetCurrent(CHostUI* pHost);

private:
    CHostUI& Pick() const
    {
        CHostUI* p = Current();
        return p ? *p : m_fallback;
    }

    CHostUI& m_fallback;
};
