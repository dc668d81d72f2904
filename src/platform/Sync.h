#pragma once
// Locks with the semantics the library relies on: recursive, owned by the
// locking thread, waitable with a time limit. Two CMutex objects created with
// one name are the same process-wide lock.
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/String.h"
#include "platform/Types.h"

class CSyncObject
{
public:
    CSyncObject();
    CSyncObject(const CSyncObject&) = delete;
    CSyncObject& operator=(const CSyncObject&) = delete;
    virtual ~CSyncObject();

    // Waits at most nTimeout milliseconds (INFINITE: no limit); true when taken.
    virtual bool Lock(DWORD nTimeout = INFINITE);
    // False when the calling thread does not hold the lock.
    virtual bool Unlock();

    struct SharedLock;

protected:
    explicit CSyncObject(std::shared_ptr<SharedLock> lock);
    std::shared_ptr<SharedLock> m_pLock;
};

class CMutex : public CSyncObject
{
public:
    // An empty name gives a private lock; bInitiallyOwn takes it at once.
    explicit CMutex(bool bInitiallyOwn = false, const CString& name = CString());
    const CString& GetName() const { return m_strName; }

private:
    CString m_strName;
};

class CCriticalSection : public CSyncObject
{
public:
    CCriticalSection() = default;
};

// Holds a sync object for a scope; releases it on destruction if still held.
class CSingleLock
{
public:
    explicit CSingleLock(CSyncObject* pObject, bool bInitialLock = false);
    CSingleLock(const CSingleLock&) = delete;
    CSingleLock& operator=(const CSingleLock&) = delete;
    ~CSingleLock();

    bool Lock(DWORD nTimeout = INFINITE);
    bool Unlock();
    bool IsLocked() const { return m_bAcquired; }

private:
    CSyncObject* m_pObject;
    bool m_bAcquired = false;
};
