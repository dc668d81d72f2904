#include "comms/PortRegistry.h"

#include "comms/SerialLine.h"
#include "platform/Sync.h"

namespace {
struct Registry
{
    CMutex mutex;
    CObList entries; // of CPortData, owned
};

Registry& TheRegistry()
{
    static Registry* s_registry = new Registry; // outlives every static channel
    return *s_registry;
}

CPortData* FirstWith(CObList& entries, int hPort)
{
    for (CObject* p : entries) {
        auto* entry = static_cast<CPortData*>(p);
        if (entry->m_hPort == hPort)
            return entry;
    }
    return nullptr;
}
} // namespace

CPortData::CPortData(int hPort, const CString& strPortName) : m_hPort(hPort), m_strPortName(strPortName) {}

eClaimResult CPortRegistry::Claim(const CString& strPortName, int& hPort)
{
    Registry& reg = TheRegistry();
    CSingleLock lock(&reg.mutex, true);
    for (CObject* p : reg.entries) {
        auto* entry = static_cast<CPortData*>(p);
        if (entry->m_strPortName != strPortName)
            continue;
        hPort = entry->m_hPort;
        if (entry->m_bInUse)
            return crInUse;
        entry->m_bInUse = true;
        ++entry->m_nRefCount;
        return crClaimed;
    }
    return crNotRegistered;
}

void CPortRegistry::Add(int hPort, const CString& strPortName)
{
    Registry& reg = TheRegistry();
    CSingleLock lock(&reg.mutex, true);
    reg.entries.AddHead(new CPortData(hPort, strPortName));
}

bool CPortRegistry::NameOf(int hPort, CString& strPortName)
{
    Registry& reg = TheRegistry();
    CSingleLock lock(&reg.mutex, true);
    const CPortData* entry = FirstWith(reg.entries, hPort);
    if (entry)
        strPortName = entry->m_strPortName;
    return entry != nullptr;
}

bool CPortRegistry::IsRegistered(int hPort)
{
    Registry& reg = TheRegistry();
    CSingleLock lock(&reg.mutex, true);
    return FirstWith(reg.entries, hPort) != nullptr;
}

void CPortRegistry::ClearInUse(int hPort)
{
    Registry& reg = TheRegistry();
    CSingleLock lock(&reg.mutex, true);
    if (CPortData* entry = FirstWith(reg.entries, hPort))
        entry->m_bInUse = false;
}

void CPortRegistry::Release(int hPort)
{
    Registry& reg = TheRegistry();
    CSingleLock lock(&reg.mutex, true);
    for (POSITION pos = reg.entries.GetHeadPosition(); pos;) {
        const POSITION at = pos;
        auto* entry = static_cast<CPortData*>(reg.entries.GetNext(pos));
        if (entry->m_hPort != hPort || --entry->m_nRefCount > 0)
            continue;
        SerialLine::Close(entry->m_hPort);
        reg.entries.RemoveAt(at);
        delete entry;
        return;
    }
}
