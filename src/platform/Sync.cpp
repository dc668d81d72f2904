#include "platform/Sync.h"

#include <chrono>
#include <map>
#include <string>

struct CSyncObject::SharedLock
{
    std::mutex mutex;
    std::condition_variable cv;
    std::thread::id owner;
    unsigned depth = 0;
};

namespace {
// Named locks live as long as some CMutex refers to them.
struct NameRegistry
{
    std::mutex mutex;
    std::map<std::string, std::weak_ptr<CSyncObject::SharedLock>> locks;
};

NameRegistry& Names()
{
    static NameRegistry s_names;
    return s_names;
}

std::shared_ptr<CSyncObject::SharedLock> LockFor(const CString& name)
{
    if (name.IsEmpty())
        return std::make_shared<CSyncObject::SharedLock>();
    auto& reg = Names();
    std::lock_guard guard(reg.mutex);
    auto& slot = reg.locks[name.str()];
    auto lock = slot.lock();
    if (!lock) {
        lock = std::make_shared<CSyncObject::SharedLock>();
        slot = lock;
    }
    // Drop entries of names nobody holds any more, so the registry stays small.
    for (auto it = reg.locks.begin(); it != reg.locks.end();)
        it = it->second.expired() ? reg.locks.erase(it) : std::next(it);
    return lock;
}
} // namespace

CSyncObject::CSyncObject() : m_pLock(std::make_shared<SharedLock>()) {}
CSyncObject::CSyncObject(std::shared_ptr<SharedLock> lock) : m_pLock(std::move(lock)) {}
CSyncObject::~CSyncObject() = default;

bool CSyncObject::Lock(DWORD nTimeout)
{
    SharedLock& l = *m_pLock;
    const auto me = std::this_thread::get_id();
    std::unique_lock guard(l.mutex);
    if (l.depth > 0 && l.owner == me) {
        ++l.depth;
        return true;
    }
    const auto free = [&] { return l.depth == 0; };
    if (nTimeout == INFINITE)
        l.cv.wait(guard, free);
    else if (!l.cv.wait_for(guard, std::chrono::milliseconds(nTimeout), free))
        return false;
    l.owner = me;
    l.depth = 1;
    return true;
}

bool CSyncObject::Unlock()
{
    SharedLock& l = *m_pLock;
    std::unique_lock guard(l.mutex);
    if (l.depth == 0 || l.owner != std::this_thread::get_id())
        return false;
    if (--l.depth == 0) {
        l.owner = {};
        guard.unlock();
        l.cv.notify_one();
    }
    return true;
}

CMutex::CMutex(bool bInitiallyOwn, const CString& name) : CSyncObject(LockFor(name)), m_strName(name)
{
    if (bInitiallyOwn)
        Lock();
}

CSingleLock::CSingleLock(CSyncObject* pObject, bool bInitialLock) : m_pObject(pObject)
{
    if (bInitialLock)
        Lock();
}

CSingleLock::~CSingleLock()
{
    Unlock();
}

bool CSingleLock::Lock(DWORD nTimeout)
{
    if (!m_pObject)
        return false;
    if (m_bAcquired)
        return true;
    m_bAcquired = m_pObject->Lock(nTimeout);
    return m_bAcquired;
}

bool CSingleLock::Unlock()
{
    if (!m_pObject || !m_bAcquired)
        return false;
    m_bAcquired = false;
    return m_pObject->Unlock();
}
