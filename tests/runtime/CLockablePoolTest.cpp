#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "runtime/CLockablePool.h"
#include "runtime/WaitUntil.h"

using namespace Nerra;
using NerraTest::WaitUntil;

namespace {

std::atomic<int> g_Loads{0};

// Stands for a user's document: every construction is a fresh load from disk.
struct CDocument {
    explicit CDocument(const std::string& name) : load(++g_Loads)
    {
        if (name == "broken")
            throw CMessageException("File '%s/user.xml' is not valid", name.c_str());
    }
    const int load;
};

struct CDocumentPool : CLockablePool<CDocument> {
    CDocumentPool() : CLockablePool([](const std::string& name) { return std::make_shared<CDocument>(name); }) {}
};

// True when another thread can lock the name at once; it unlocks again.
bool LockableByOthers(CDocumentPool& pool, const std::string& name)
{
    bool locked = false;
    std::thread([&] {
        if ((locked = pool.LockObject(name, 0)))
            pool.UnlockObject(name);
    }).join();
    return locked;
}

TEST(LockablePool, LockWaitsForUsersEvictsOrRestoresAndHoldsOffGetObjectUntilUnlock)
{
    CDocumentPool pool;
    std::shared_ptr<CDocument> kept = pool.GetObject("dave");
    EXPECT_EQ(pool.GetObject("dave"), kept);
    const int firstLoad = kept->load;
    std::weak_ptr<CDocument> keptRef = kept;

    // A user that keeps the object past the time-out fails the lock; the name stays free
    // and serves the same object.
    EXPECT_FALSE(pool.LockObject("dave", 50));
    std::shared_ptr<CDocument> seen;
    std::thread([&] { seen = pool.GetObject("dave"); }).join();
    EXPECT_EQ(seen, kept);
    seen.reset();

    // A user that lets go in time: the lock waits for it and unloads the object.
    std::thread user([held = std::move(kept)]() mutable {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        held.reset();
    });
    EXPECT_TRUE(pool.LockObject("dave", 10000));
    EXPECT_TRUE(keptRef.expired());
    user.join();

    std::atomic<bool> done{false};
    std::thread worker([&] {
        seen = pool.GetObject("dave");
        done = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(done);
    pool.UnlockObject("dave");
    worker.join();
    EXPECT_GT(seen->load, firstLoad);
}

TEST(LockablePool, LocksAreRecursiveAndOnlyTheirHolderUnlocks)
{
    CDocumentPool pool;
    const int loads = g_Loads;
    pool.UnlockObject("erin");  // never locked
    ASSERT_TRUE(pool.LockObject("erin", 0));
    ASSERT_TRUE(pool.LockObject("erin", 0));
    pool.UnlockObject("erin");
    EXPECT_FALSE(LockableByOthers(pool, "erin"));
    std::thread([&] { pool.UnlockObject("erin"); }).join();
    EXPECT_FALSE(LockableByOthers(pool, "erin"));
    pool.UnlockObject("erin");
    EXPECT_TRUE(LockableByOthers(pool, "erin"));
    // UnlockAll lets go of every name the thread holds, at every depth.
    ASSERT_TRUE(pool.LockObject("erin", 0));
    ASSERT_TRUE(pool.LockObject("erin", 0));
    ASSERT_TRUE(pool.LockObject("fred", 0));
    std::thread([&] { pool.UnlockAll(); }).join();
    EXPECT_FALSE(LockableByOthers(pool, "fred"));
    pool.UnlockAll();
    EXPECT_TRUE(LockableByOthers(pool, "erin"));
    EXPECT_TRUE(LockableByOthers(pool, "fred"));
    EXPECT_EQ(g_Loads, loads);  // locking a name never loads it
}

TEST(LockablePool, FailedLoadIsRetriedAndClearMakesGetObjectLoadAgain)
{
    CDocumentPool pool;
    const int loads = g_Loads;
    EXPECT_THROW(pool.GetObject("broken"), CMessageException);
    EXPECT_THROW(pool.GetObject("broken"), CMessageException);
    EXPECT_EQ(g_Loads, loads + 2);
    EXPECT_TRUE(LockableByOthers(pool, "broken"));
    const int load = pool.GetObject("gina")->load;
    pool.Clear();
    EXPECT_GT(pool.GetObject("gina")->load, load);
}

TEST(LockablePool, FlushUnloadsOnlyWhatNoOneUsesAndKeepsLockedNamesLocked)
{
    CDocumentPool pool;
    std::shared_ptr<CDocument> inUse = pool.GetObject("ivan");
    const int idleLoad = pool.GetObject("judy")->load;
    ASSERT_TRUE(pool.LockObject("kate", 0));
    std::thread([&] { pool.Flush(); }).join();
    EXPECT_EQ(pool.GetObject("ivan"), inUse);  // never a second copy beside one in use
    EXPECT_GT(pool.GetObject("judy")->load, idleLoad);
    EXPECT_FALSE(LockableByOthers(pool, "kate"));
    pool.UnlockObject("kate");
}

TEST(LockablePool, ClearFreesALockedNameAndReleasesItsWaiters)
{
    // On the heap so that a waiter left stuck by a fault cannot outlive it.
    auto pool = std::make_unique<CDocumentPool>();
    ASSERT_TRUE(pool->LockObject("hank", 0));
    std::atomic<bool> done{false};
    std::thread worker([&pool, &done] {
        pool->GetObject("hank");
        done = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // time to start waiting
    pool->Clear();
    // The waiter moves on to the name's fresh entry instead of waiting for an unlock that
    // can no longer reach it.
    if (!WaitUntil([&] { return done.load(); })) {
        ADD_FAILURE() << "GetObject still waits for an entry that Clear dropped";
        worker.detach();
        pool.release();
        return;
    }
    worker.join();
    EXPECT_TRUE(LockableByOthers(*pool, "hank"));
}

}  // namespace
