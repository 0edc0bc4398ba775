#include <gtest/gtest.h>

#include <cerrno>

#include "../rules/RuleSetTestUtil.h"
#include "../runtime/WaitUntil.h"
#include "core/CFile.h"
#include "mail/CPOP3ClientMessage.h"
#include "mail/LockPools.h"
#include "mail/PeriodicJobs.h"
#include "runtime/CWorkerThreadPool.h"

using namespace Nerra;
using namespace NerraTest;

namespace {

// The fault in force: calls of one kind whose path holds a text fail with an errno.
struct CFault {
    EFileCall call;
    std::string pathPart;
    int error;
};
CFault g_Fault;

int InjectFault(EFileCall call, const std::string& path)
{
    return call == g_Fault.call && path.find(g_Fault.pathPart) != std::string::npos ? g_Fault.error : 0;
}

// Spools one message through the real job and the sequential pool with the disk failing
// as told, and shows where the message ends up.
class SpoolFaultTest : public RuleSetFixture {
protected:
    static void SetUpTestSuite()
    {
        CreateServicePools(1, CParallelTiming());
        SequentialPool().Start();
    }

    void SetUp() override
    {
        RuleSetFixture::SetUp();
        Quietly([] {
            RuleSetPool().Clear();
            UserPool().Clear();
        });
        for (const char* box : {".spool", ".raw", "spam", "inbox"})
            std::filesystem::create_directories(m_Dir / ("alice/" + std::string(box)));
        WriteFile(m_Dir / "alice/user.xml", "<user/>");
        WriteRules(Rule(AnyMatch(), Dispatch("inbox")));
    }
    void TearDown() override
    {
        SetFileFault(nullptr);
        Quietly([] {
            RuleSetPool().Clear();
            UserPool().Clear();
        });
    }

    // The log of one spooling run under the fault, once every message it took is done.
    std::string SpoolUnder(const CFault& fault)
    {
        g_Fault = fault;
        SetFileFault(InjectFault);
        std::string log = Quietly([] {
            TimerCallback_SpoolMessages("");
            EXPECT_TRUE(WaitUntil([] { return CPOP3ClientMessage::InFlight().Count() == 0; }));
        });
        SetFileFault(nullptr);
        return log;
    }

    // The names of the files in each folder of the user, as "folder/name".
    std::vector<std::string> Files()
    {
        std::vector<std::string> found;
        for (const char* box : {".spool", ".raw", "spam", "inbox"})
            for (const CFileInfo& file : CFile::ListFiles(m_Dir / ("alice/" + std::string(box)), "*"))
                found.push_back(std::string(box) + "/" + file.name);
        return found;
    }
};

const std::string MESSAGE = "From: a@example.com\r\nSubject: hello\r\n\r\nbody\r\n";

}  // namespace

TEST_F(SpoolFaultTest, EachFailingStepLeavesTheMessageInTheSpoolOrRawAndSaysWhy)
{
    const struct {
        CFault fault;
        const char* folder;  // where the one message is afterwards
        const char* logged;
    } cases[] = {
        // Taking the file from the spool.
        {{EFileCall::Rename, "/.spool/", ENOSPC}, ".spool", "Unable to move file"},
        // Filing it: the mailbox, then spam, then the spool refuse it; it waits in .raw
        // for the next start.
        {{EFileCall::Rename, "/.raw/", EIO}, ".raw", "stays in"},
        // Neither data nor a sync is written on this road: the message is filed all the same.
        {{EFileCall::Write, "/", ENOSPC}, "inbox", "filed into inbox"},
        {{EFileCall::Sync, "/", EIO}, "inbox", "filed into inbox"},
    };
    for (const auto& c : cases) {
        for (const char* box : {".spool", ".raw", "inbox"}) {
            std::filesystem::remove_all(m_Dir / ("alice/" + std::string(box)));
            std::filesystem::create_directories(m_Dir / ("alice/" + std::string(box)));
        }
        WriteFile(m_Dir / "alice/.spool/m1.eml", MESSAGE);
        const std::string log = SpoolUnder(c.fault);
        const std::vector<std::string> files = Files();
        ASSERT_EQ(files.size(), 1u) << c.folder << "\n" << log;
        EXPECT_EQ(files[0].substr(0, files[0].find('/')), c.folder) << log;
        EXPECT_NE(log.find(c.logged), std::string::npos) << log;
        EXPECT_EQ(ReadFile(m_Dir / ("alice/" + files[0])), MESSAGE);
    }
}

TEST_F(SpoolFaultTest, AMailboxThatRefusesTheMessageSendsItToSpam)
{
    // Only the first rename out of .raw fails: the one into the mailbox.
    static int calls;
    calls = 0;
    SetFileFault([](EFileCall call, const std::string& path) {
        return call == EFileCall::Rename && path.find("/.raw/") != std::string::npos && calls++ == 0 ? EDQUOT : 0;
    });
    WriteFile(m_Dir / "alice/.spool/m1.eml", MESSAGE);
    const std::string log = Quietly([] {
        TimerCallback_SpoolMessages("");
        EXPECT_TRUE(WaitUntil([] { return CPOP3ClientMessage::InFlight().Count() == 0; }));
    });
    SetFileFault(nullptr);
    EXPECT_EQ(Files().size(), 1u);
    EXPECT_EQ(CFile::ListFiles(m_Dir / "alice/spam", "*").size(), 1u) << log;
    EXPECT_NE(log.find("filed into spam instead of inbox"), std::string::npos) << log;
}
