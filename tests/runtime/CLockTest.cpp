#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "runtime/CLock.h"
#include "runtime/WaitUntil.h"

using namespace Nerra;
using NerraTest::WaitUntil;

namespace {

// Tries the lock from a thread of its own and lets go again if it got it.
bool OtherThreadAcquires(CLock& lock, uint32_t timeout)
{
    bool acquired = false;
    std::thread other([&] {
        acquired = lock.Acquire(timeout);
        if (acquired)
            lock.Release();
    });
    other.join();
    return acquired;
}

TEST(CLock, HolderLocksRecursivelyAndReleasesOneLevelAtATime)
{
    CLock lock;
    EXPECT_FALSE(lock.IsHeldByCurrentThread());
    ASSERT_TRUE(lock.Acquire(0));
    ASSERT_TRUE(lock.Acquire(0));
    lock.Release();
    EXPECT_TRUE(lock.IsHeldByCurrentThread());
    EXPECT_FALSE(OtherThreadAcquires(lock, 0));
    lock.Release();
    EXPECT_FALSE(lock.IsHeldByCurrentThread());
    EXPECT_TRUE(OtherThreadAcquires(lock, 0));
}

TEST(CLock, TimedAcquireFailsWhileHeldAndSucceedsOnceReleased)
{
    CLock lock;
    ASSERT_TRUE(lock.Acquire(INFINITE_TIMEOUT));
    EXPECT_FALSE(OtherThreadAcquires(lock, 30));

    std::atomic<bool> acquired{false};
    std::thread waiter([&] {
        EXPECT_FALSE(lock.IsHeldByCurrentThread());
        acquired = lock.Acquire(60000);
        EXPECT_TRUE(lock.IsHeldByCurrentThread());
        lock.Release();
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_FALSE(acquired);
    lock.Release();
    waiter.join();
    EXPECT_TRUE(acquired);
}

TEST(CLockGuard, ReleasesOnlyWhatItAcquired)
{
    CLock lock;
    {
        CLockGuard guard(lock);
        EXPECT_TRUE(guard.IsAcquired());
        EXPECT_TRUE(lock.IsHeldByCurrentThread());
    }
    EXPECT_FALSE(lock.IsHeldByCurrentThread());

    ASSERT_TRUE(lock.Acquire(0));
    std::thread other([&] {
        // A release here would be by a thread that does not hold the lock, and abort.
        CLockGuard guard(lock, 10);
        EXPECT_FALSE(guard.IsAcquired());
    });
    other.join();
    EXPECT_TRUE(lock.IsHeldByCurrentThread());
    lock.Release();
}

}  // namespace
