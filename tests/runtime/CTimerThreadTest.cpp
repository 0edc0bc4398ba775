#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "runtime/CTimerThread.h"
#include "runtime/WaitUntil.h"

using namespace Nerra;
using NerraTest::WaitUntil;

namespace {

// Timer jobs are plain functions, so what they see is kept here.
struct CTimerRuns {
    std::mutex mutex;
    std::vector<std::string> arguments;
} g_Runs;

void Record(const std::string& argument)
{
    std::lock_guard<std::mutex> guard(g_Runs.mutex);
    g_Runs.arguments.push_back(argument);
}

void RecordAndFail(const std::string& argument)
{
    Record(argument);
    throw CMessageException("mailbox unreachable");
}

size_t RunCount()
{
    std::lock_guard<std::mutex> guard(g_Runs.mutex);
    return g_Runs.arguments.size();
}

std::vector<std::string> Arguments()
{
    std::lock_guard<std::mutex> guard(g_Runs.mutex);
    return g_Runs.arguments;
}

class TimerThreadTest : public testing::Test {
protected:
    void SetUp() override
    {
        std::lock_guard<std::mutex> guard(g_Runs.mutex);
        g_Runs.arguments.clear();
    }
    void TearDown() override
    {
        m_Timer.Terminate();
        m_Timer.WaitFor(INFINITE_TIMEOUT);
    }

    void Push(int32_t interval, TimerFunction function, const std::string& argument, bool repeat = false)
    {
        m_Timer.PushCallback(std::make_shared<CTimerCallback>(interval, function, argument, repeat));
    }

    CTimerThread m_Timer;
};

TEST_F(TimerThreadTest, RecordsRunByDueTimeAndEqualDueTimesInPushOrder)
{
    Push(0, Record, "first");
    Push(-5, Record, "overdue");   // earlier than everything: goes to the front
    Push(0, Record, "second");     // same due time as "first": goes after it
    Push(-5, Record, "overdue too");
    m_Timer.Start();
    ASSERT_TRUE(WaitUntil([] { return RunCount() == 4; }));
    EXPECT_EQ(Arguments(), (std::vector<std::string>{"overdue", "overdue too", "first", "second"}));
}

TEST_F(TimerThreadTest, PeriodicCallbackThatThrowsKeepsRunning)
{
    testing::internal::CaptureStderr();
    Push(0, RecordAndFail, "fetch", true);
    m_Timer.Start();
    const bool ranThrice = WaitUntil([] { return RunCount() >= 3; });
    m_Timer.Terminate();
    m_Timer.WaitFor(INFINITE_TIMEOUT);
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(ranThrice);
    EXPECT_NE(log.find("ERROR Timer thread caught a callback exception, ignoring and proceeding to the next callback: "
                       "mailbox unreachable\n"),
              std::string::npos)
        << log;
}

}  // namespace
