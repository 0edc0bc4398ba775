#include <gtest/gtest.h>

#include <sstream>

#include "app/ControlConsole.h"
#include "core/CConfig.h"

using namespace Nerra;

namespace {

// Runs the console over the given input and returns what it answered.
std::string Console(const std::string& input, std::string* log = nullptr)
{
    std::istringstream in(input);
    std::ostringstream out;
    testing::internal::CaptureStderr();
    SleepInControlLoop(in, out);
    std::string captured = testing::internal::GetCapturedStderr();
    if (log)
        *log = captured;
    return out.str();
}

}  // namespace

TEST(ControlConsole, NoopAndUnknownLines)
{
    EXPECT_EQ(Console("noop\nnoop \nNOOP\n\nhello\nstop\n"), "ok\nerr\nerr\nerr\nerr\nok\n");
}

TEST(ControlConsole, CarriageReturnBeforeTheLineFeedIsNotPartOfTheCommand)
{
    EXPECT_EQ(Console("noop\r\nstop\r\n"), "ok\nok\n");
}

TEST(ControlConsole, StopEndsTheLoopAndLaterLinesAreNotRead)
{
    EXPECT_EQ(Console("stop\nnoop\n"), "ok\n");
}

TEST(ControlConsole, EndOfInputEndsTheLoopLikeStop)
{
    EXPECT_EQ(Console("noop\n"), "ok\nok\n");
    EXPECT_EQ(Console(""), "ok\n");
}

TEST(ControlConsole, GetConfigAnswersTheValueOrNothing)
{
    CConfig::Instance().SetValue("pop3-port", "110");
    CConfig::Instance().SetValue("empty-value", "");
    std::string log;
    EXPECT_EQ(Console("get config pop3-port\nget config mail_directory\nget config empty-value\nstop\n", &log),
              "ok 110\nok \nok\n");
    // One line, where the console handles the failure, with the path it took.
    EXPECT_EQ(log.find("ERROR"), log.rfind("ERROR"));
    EXPECT_NE(log.find("ERROR SleepInControlLoop(): Value for name 'mail_directory' is not found in the map [trace: "
                       "CNameValueMap::GetValue('mail_directory')"),
              std::string::npos);
}

TEST(ControlConsole, OverlongLineIsCutBeforeMatching)
{
    std::string log;
    EXPECT_EQ(Console("noop" + std::string(2996, ' ') + "\nstop\n", &log), "err\nok\n");
    EXPECT_NE(log.find("exceeds 2048 bytes"), std::string::npos);
}

TEST(ControlConsole, CommandFormsAreCheckedBeforeTheyAreServed)
{
    // A malformed form of a command is an unknown line; so is a dot in a training file name
    // and a 33-character user name.
    EXPECT_EQ(HandleControlCommand("train file a.b.msg spam").reply, std::string("err"));
    EXPECT_EQ(HandleControlCommand("check user " + std::string(33, 'a')).reply, std::string("err"));
    EXPECT_EQ(HandleControlCommand("lock user").reply, std::string("err"));
    EXPECT_TRUE(HandleControlCommand("stop").stop);
    EXPECT_FALSE(HandleControlCommand("stop ").stop);
}
