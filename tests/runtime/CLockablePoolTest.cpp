#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "runtime/CLockablePool.h"
#include "runtime/WaitUntil.h"

using namespace Nerra;
using NerraTest::WaitUntil;

namespace {

std::atomic<int> g_Loads{0};
std::atomic<int> g_Unloads{0};

// Stands for a user's document: every construction is a fresh load from disk.
class CDocument {
public:
    explicit CDocument(const std::string& name) : load(++g_Loads)
    {
        if (name == "broken")
            throw CMessageException("File '%s/user.xml' is not valid", name.c_str());
    }
    ~CDocument() { ++g_Unloads; }
    const int load;
};

using CDocumentPool = CLockablePool<CDocument>;

// True when another thread can lock the name at once; it unlocks again. (A successful
// lock evicts the cached object.)
bool LockableByOthers(CDocumentPool& pool, const std::string& name)
{
    bool locked = false;
    std::thread other([&] {
        locked = pool.LockObject(name, 0);
        if (locked)
            pool.UnlockObject(name);
    });
    other.join();
    return locked;
}

TEST(LockablePool, NameNeverLoadedLocksAtOnceWithoutLoading)
{
    CDocumentPool pool;
    const int loads = g_Loads;
    ASSERT_TRUE(pool.LockObject("alice", 0));
    EXPECT_FALSE(LockableByOthers(pool, "alice"));
    pool.UnlockObject("alice");
    EXPECT_TRUE(LockableByOthers(pool, "alice"));
    EXPECT_EQ(g_Loads, loads);
}

TEST(LockablePool, GetObjectWaitsWhileLockedAndThenLoadsAfresh)
{
    CDocumentPool pool;
    std::shared_ptr<CDocument> before = pool.GetObject("bob");
    EXPECT_EQ(pool.GetObject("bob"), before);
    std::weak_ptr<CDocument> beforeRef = before;
    before.reset();
    ASSERT_TRUE(pool.LockObject("bob", 1000));
    EXPECT_TRUE(beforeRef.expired());

    std::atomic<bool> done{false};
    std::shared_ptr<CDocument> after;
    std::thread worker([&] {
        after = pool.GetObject("bob");
        done = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(done);
    pool.UnlockObject("bob");
    worker.join();
    ASSERT_TRUE(after);
    EXPECT_EQ(after->load, g_Loads);
}

TEST(LockablePool, LockWaitsForWorkersToLetGoOfTheObject)
{
    CDocumentPool pool;
    std::shared_ptr<CDocument> held = pool.GetObject("carol");
    const int unloads = g_Unloads;
    std::thread worker([kept = std::move(held)]() mutable {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        kept.reset();
    });
    EXPECT_TRUE(pool.LockObject("carol", 10000));
    EXPECT_EQ(g_Unloads, unloads + 1);
    pool.UnlockObject("carol");
    worker.join();
}

TEST(LockablePool, LockTimesOutWhileAWorkerKeepsTheObjectAndRestoresIt)
{
    CDocumentPool pool;
    std::shared_ptr<CDocument> kept = pool.GetObject("dave");
    const int loads = g_Loads;
    testing::internal::CaptureStderr();
    EXPECT_FALSE(pool.LockObject("dave", 50));
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find(", 50): an attempt to lock object timed out\n"), std::string::npos) << log;

    // The name is unlocked again and still serves the same object.
    std::shared_ptr<CDocument> seen;
    std::thread worker([&] { seen = pool.GetObject("dave"); });
    worker.join();
    EXPECT_EQ(seen, kept);
    EXPECT_EQ(g_Loads, loads);
}

TEST(LockablePool, LocksAreRecursiveAndNeedOneUnlockEach)
{
    CDocumentPool pool;
    ASSERT_TRUE(pool.LockObject("erin", 0));
    ASSERT_TRUE(pool.LockObject("erin", 0));
    pool.UnlockObject("erin");
    EXPECT_FALSE(LockableByOthers(pool, "erin"));
    pool.UnlockObject("erin");
    EXPECT_TRUE(LockableByOthers(pool, "erin"));
}

TEST(LockablePool, UnlockOfANameThisThreadDoesNotHoldDoesNothing)
{
    CDocumentPool pool;
    pool.UnlockObject("frank");
    EXPECT_TRUE(LockableByOthers(pool, "frank"));

    std::atomic<bool> locked{false};
    std::atomic<bool> letGo{false};
    std::thread console([&] {
        locked = pool.LockObject("frank", 0);
        while (!letGo)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        pool.UnlockObject("frank");
    });
    ASSERT_TRUE(WaitUntil([&] { return locked.load(); }));
    pool.UnlockObject("frank");
    EXPECT_FALSE(pool.LockObject("frank", 20));
    letGo = true;
    console.join();
    EXPECT_TRUE(pool.LockObject("frank", 0));
    pool.UnlockObject("frank");
}

TEST(LockablePool, ClearDropsTheObjectsAndGetObjectReloads)
{
    CDocumentPool pool;
    std::shared_ptr<CDocument> before = pool.GetObject("gina");
    const int load = before->load;
    std::weak_ptr<CDocument> beforeRef = before;
    before.reset();
    pool.Clear();
    EXPECT_TRUE(beforeRef.expired());
    EXPECT_GT(pool.GetObject("gina")->load, load);
}

TEST(LockablePool, ClearFreesALockedNameAndReleasesItsWaiters)
{
    // Kept on the heap so that a waiter left stuck by a fault cannot outlive it.
    auto pool = std::make_unique<CDocumentPool>();
    ASSERT_TRUE(pool->LockObject("hank", 0));
    std::atomic<bool> done{false};
    std::thread worker([&pool, &done] {
        pool->GetObject("hank");
        done = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(done);
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
    pool->UnlockObject("hank");
    EXPECT_TRUE(LockableByOthers(*pool, "hank"));
}

TEST(LockablePool, FailedLoadLeavesTheNameUnlockedAndIsRetried)
{
    CDocumentPool pool;
    const int loads = g_Loads;
    EXPECT_THROW(pool.GetObject("broken"), CMessageException);
    EXPECT_THROW(pool.GetObject("broken"), CMessageException);
    EXPECT_EQ(g_Loads, loads + 2);
    EXPECT_TRUE(LockableByOthers(pool, "broken"));
}

}  // namespace
