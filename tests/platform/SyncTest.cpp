#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "platform/Sync.h"

namespace {
// Whether another thread takes the lock within the given wait (it lets go at once).
std::future<bool> TryElsewhere(CSyncObject& obj, DWORD wait = 0)
{
    return std::async(std::launch::async, [&obj, wait] {
        const bool got = obj.Lock(wait);
        if (got)
            obj.Unlock();
        return got;
    });
}
bool TakenElsewhere(CSyncObject& obj, DWORD wait = 0)
{
    return TryElsewhere(obj, wait).get();
}
} // namespace

TEST(CMutex, OneNameIsOneProcessWideLockAndAWaiterGetsItWhenReleased)
{
    CMutex a(false, "zflash-test-shared");
    CMutex b(false, "zflash-test-shared");
    CMutex other(false, "zflash-test-other");
    CMutex unnamed, unnamed2;
    ASSERT_TRUE(a.Lock());
    ASSERT_TRUE(unnamed.Lock());
    EXPECT_FALSE(TakenElsewhere(b, 20));
    EXPECT_TRUE(TakenElsewhere(other));
    EXPECT_TRUE(TakenElsewhere(unnamed2));
    auto waiter = TryElsewhere(b, INFINITE);
    EXPECT_TRUE(a.Unlock());
    EXPECT_TRUE(waiter.get());
    unnamed.Unlock();
}

TEST(CMutex, RecursiveForTheOwnerAndOnlyTheOwnerMayRelease)
{
    CMutex m(true, "");
    EXPECT_TRUE(m.Lock(0));
    EXPECT_FALSE(std::async(std::launch::async, [&] { return m.Unlock(); }).get());
    EXPECT_TRUE(m.Unlock());
    EXPECT_FALSE(TakenElsewhere(m)); // still held once
    EXPECT_TRUE(m.Unlock());
    EXPECT_FALSE(m.Unlock());
    EXPECT_TRUE(TakenElsewhere(m));
}

TEST(CSingleLock, ReleasesAtEndOfScopeAndKeepsConcurrentIncrementsExact)
{
    CCriticalSection cs;
    {
        CSingleLock lock(&cs, true);
        EXPECT_TRUE(lock.IsLocked());
        EXPECT_FALSE(TakenElsewhere(cs));
    }
    EXPECT_TRUE(TakenElsewhere(cs));

    CSingleLock none(nullptr);
    EXPECT_FALSE(none.Lock());

    long counter = 0;
    auto work = [&] {
        for (int i = 0; i < 20000; ++i) {
            CSingleLock lock(&cs, true);
            ++counter;
        }
    };
    std::thread t1(work), t2(work);
    t1.join();
    t2.join();
    EXPECT_EQ(counter, 40000);
}
