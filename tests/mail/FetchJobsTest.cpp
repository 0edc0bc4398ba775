#include <gtest/gtest.h>

#include "../rules/RuleSetTestUtil.h"
#include "mail/FetchJobs.h"
#include "mail/LockPools.h"

using namespace Nerra;
using namespace NerraTest;

namespace {

std::vector<CDirInfo> Directories(std::initializer_list<const char*> names)
{
    std::vector<CDirInfo> list;
    for (const char* name : names)
        list.push_back({name, std::string("/mail/") + name});
    return list;
}

using CPlan = std::vector<std::pair<std::string, int32_t>>;

class InitiateSessionTest : public testing::Test {
protected:
    void SetUp() override
    {
        std::filesystem::create_directories(m_Dir / "alice");
        CConfig::Instance().SetValue("mail-directory", m_Dir.Path());
        Quietly([] { UserPool().Clear(); });
    }
    void TearDown() override
    {
        Quietly([] { UserPool().Clear(); });
    }

    // The job's log, and its failure text when it failed.
    std::string RunJob(std::string& failure)
    {
        return Quietly([&] {
            try {
                TimerCallback_InitiateUserPOP3Session("alice");
            } catch (const std::exception& e) {
                failure = e.what();
            }
        });
    }

    TempDir m_Dir;
};

}  // namespace

TEST(RescanUsers, FetchesAreSpreadOverTheIntervalCountingEveryListedDirectory)
{
    EXPECT_EQ(PlanUserFetches(Directories({"alice", "not-a-user", "bob"}), 600), (CPlan{{"alice", 0}, {"bob", 150}}));
    // Spacing 1000 / 7; delays are cut to whole seconds.
    EXPECT_EQ(PlanUserFetches(Directories({".", "..", "x", "y", "z-z", "w"}), 1000),
              (CPlan{{"x", 0}, {"y", 142}, {"w", 285}}));
    EXPECT_EQ(PlanUserFetches(Directories({}), 600), CPlan{});
    // Only word names of up to 32 characters are users.
    const std::string longest(32, 'a'), tooLong(33, 'a');
    EXPECT_EQ(PlanUserFetches(Directories({"a.b", "a-b", "with space", tooLong.c_str(), longest.c_str(), "x_1"}), 70),
              (CPlan{{longest, 0}, {"x_1", 10}}));
}

// Neither an account without remote mailboxes nor one whose port cannot be resolved fails the job.
TEST_F(InitiateSessionTest, NothingToFetchOnlyGetsLogged)
{
    CConfig& config = CConfig::Instance();
    config.SetValue("pop3-messages-per-sync", "10");
    config.SetValue("pop3-messages-per-session", "100");
    config.SetValue("pop3-connection-attempt-timeout-sec", "30");
    config.SetValue("outgoing-connection-timeout-sec", "60");
    const std::pair<std::string, std::string> cases[] = {
        {"<pop3-clients/>", "WARNING TimerCallback_InitiateUserPOP3Session('alice'): no POP3 servers defined"},
        {"<pop3-clients><pop3-client hostname=\"127.0.0.1\" port=\"no-such-service\" username=\"bob\" "
         "password=\"c2VjcmV0\"/></pop3-clients>",
         "ERROR TimerCallback_InitiateUserPOP3Session('alice'): POP3 client 1 is skipped: "},
    };
    for (const auto& [clients, logged] : cases) {
        Quietly([] { UserPool().Clear(); });
        WriteFile(m_Dir / "alice/user.xml", "<user>" + clients + "</user>");
        std::string failure;
        const std::string log = RunJob(failure);
        EXPECT_EQ(failure, "");
        EXPECT_NE(log.find(logged), std::string::npos) << log;
    }
}
