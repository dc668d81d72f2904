#pragma once
// The process-wide register of open ports: a port opened by one channel
// object is found here by the next, which is then told the port is busy.
// Every operation takes the register's own lock; callers that also hold the
// channels' critical section always take that first.
#include "platform/List.h"
#include "platform/Object.h"
#include "platform/String.h"

class CPortData : public CObject
{
    ZF_DECLARE_DYNAMIC(CPortData)
public:
    CPortData(int hPort, const CString& strPortName);

    int m_hPort;
    CString m_strPortName;
    bool m_bInUse = true;
    int m_nRefCount = 1;
};

enum eClaimResult { crNotRegistered, crClaimed, crInUse };

class CPortRegistry
{
public:
    // First entry with exactly this name: marks it in use and counts the new
    // holder when it was free (crClaimed), else crInUse; hPort gets its handle.
    static eClaimResult Claim(const CString& strPortName, int& hPort);
    // A newly opened port, in use, with one holder; goes to the head.
    static void Add(int hPort, const CString& strPortName);
    // The name registered for a handle; false when there is none.
    static bool NameOf(int hPort, CString& strPortName);
    static bool IsRegistered(int hPort);
    // Clears the in-use flag of the first entry with this handle.
    static void ClearInUse(int hPort);
    // Drops one holder; the last one closes the port and removes its entry.
    static void Release(int hPort);
};
