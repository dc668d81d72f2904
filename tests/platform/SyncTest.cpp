#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

#include "platform/Sync.h"

namespace {
// True when another thread can take the lock within the given wait.
bool TakenElsewhere(CSyncObject& obj, DWORD wait = 0)
{
    return std::async(std::launch::async, [&] {
               const bool got = obj.Lock(wait);
               if (got)
                   obj.Unlock();
               return got;
           }).get();
}
} // namespace

TEST(CMutex, OneNameIsOneProcessWideLock)
{
    CMutex a(false, "zflash-test-shared");
    CMutex b(false, "zflash-test-shared");
    CMutex other(false, "zflash-test-other");
    ASSERT_TRUE(a.Lock());
    EXPECT_FALSE(TakenElsewhere(b, 20));
    EXPECT_TRUE(TakenElsewhere(other));
    EXPECT_TRUE(a.Unlock());
    EXPECT_TRUE(TakenElsewhere(b));
}

TEST(CMutex, UnnamedMutexesAreIndependent)
{
    CMutex a, b;
    ASSERT_TRUE(a.Lock());
    EXPECT_TRUE(TakenElsewhere(b));
    a.Unlock();
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

TEST(CMutex, TimedWaitSucceedsWhenReleasedInTime)
{
    CMutex m(false, "zflash-test-timed");
    std::promise<void> locked, release;
    std::thread holder([&] {
        m.Lock();
        locked.set_value();
        release.get_future().wait();
        m.Unlock();
    });
    locked.get_future().wait();
    auto waiter = std::async(std::launch::async, [&] {
        const bool got = m.Lock(INFINITE);
        if (got)
            m.Unlock();
        return got;
    });
    release.set_value();
    EXPECT_TRUE(waiter.get());
    holder.join();
}

TEST(CSingleLock, ReleasesAtEndOfScope)
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
}

TEST(CCriticalSection, KeepsConcurrentIncrementsExact)
{
    CCriticalSection cs;
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
