#include <gtest/gtest.h>

#include <mutex>
#include <vector>

#include "runtime/CTimeBudget.h"
#include "runtime/WaitUntil.h"

using namespace Nerra;
using NerraTest::WaitUntil;

TEST(TimeBudget, ARunPastItsBudgetIsReportedUntilItEnds)
{
    std::mutex mutex;
    std::vector<uint64_t> reported;
    auto reports = [&] {
        std::lock_guard<std::mutex> guard(mutex);
        return reported;
    };
    CTimeBudget budget(50, 20, [&](uint64_t run) {
        std::lock_guard<std::mutex> guard(mutex);
        reported.push_back(run);
    });
    const uint64_t slow = budget.Begin();
    ASSERT_TRUE(WaitUntil([&] { return reports().size() >= 2; }));
    budget.End();
    const std::vector<uint64_t> seen = reports();
    EXPECT_EQ(seen, std::vector<uint64_t>(seen.size(), slow));
    // The next run is watched afresh.
    const uint64_t next = budget.Begin();
    EXPECT_NE(next, slow);
    ASSERT_TRUE(WaitUntil([&] { return reports().back() == next; }));
    budget.End();
}
