#include <gtest/gtest.h>

#include <functional>
#include <sstream>
#include <thread>
#include <vector>

#include <boost/regex.hpp>

#include "core/CLog.h"
#include "core/Trace.h"

using namespace Nerra;

namespace {

std::vector<std::string> CapturedLines(const std::function<void()>& action)
{
    testing::internal::CaptureStderr();
    action();
    std::istringstream text(testing::internal::GetCapturedStderr());
    std::vector<std::string> lines;
    for (std::string line; std::getline(text, line);)
        lines.push_back(line);
    return lines;
}

const boost::regex LINE_FORMAT(R"(^\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3} \[[0-9a-f]{8}\] (INFO|WARNING|ERROR) (.*)$)");

void ThrowThroughTwoLevels(bool standard)
{
    NERRA_TRACE_BEGIN
    NERRA_TRACE_BEGIN
    if (standard)
        throw CMessageException("inner failure %d", 7);
    throw 42;
    NERRA_TRACE_END("Inner('%s')", "arg")
    NERRA_TRACE_END("Outer(%u)", 5u)
}

}  // namespace

TEST(CLog, LinesHaveTimestampThreadIdLevelAndMessage)
{
    auto lines = CapturedLines([] {
        CLog::Instance().Info("hello %d", 1);
        CLog::Instance().Warning("careful");
        CLog::Instance().Error("broken");
    });
    ASSERT_EQ(lines.size(), 3u);
    boost::smatch parts;
    ASSERT_TRUE(boost::regex_match(lines[0], parts, LINE_FORMAT)) << lines[0];
    EXPECT_EQ(parts[1], "INFO");
    EXPECT_EQ(parts[2], "hello 1");
    ASSERT_TRUE(boost::regex_match(lines[1], parts, LINE_FORMAT));
    EXPECT_EQ(parts[1], "WARNING");
    ASSERT_TRUE(boost::regex_match(lines[2], parts, LINE_FORMAT));
    EXPECT_EQ(parts[1], "ERROR");
}

TEST(CLog, ControlBytesBecomeSpacesSoOneEventIsOneLine)
{
    auto lines = CapturedLines([] { CLog::Instance().Info("a\r\nb\tc\x01" "d\xe9"); });
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("INFO a  b c d\xe9"), std::string::npos) << lines[0];
}

TEST(CLog, VeryLongMessageIsLoggedWhole)
{
    const std::string message(10000, 'x');
    auto lines = CapturedLines([&] { CLog::Instance().Info("%s", message.c_str()); });
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find(message), std::string::npos);
}

TEST(CLog, ConcurrentWritersNeverMixLines)
{
    auto lines = CapturedLines([] {
        std::vector<std::thread> writers;
        for (int t = 0; t < 4; ++t)
            writers.emplace_back([t] {
                for (int i = 0; i < 200; ++i)
                    CLog::Instance().Info("writer %d line %d %s", t, i, std::string(500, char('a' + t)).c_str());
            });
        for (auto& writer : writers)
            writer.join();
    });
    ASSERT_EQ(lines.size(), 800u);
    const boost::regex whole(R"(.* INFO writer (\d) line \d+ ([a-d])\2{499}$)");
    for (const auto& line : lines)
        EXPECT_TRUE(boost::regex_match(line, whole)) << line.substr(0, 120);
}

TEST(CLog, CriticalWritesItsLineAndEndsTheProcess)
{
    EXPECT_EXIT(CLog::Instance().Critical("cannot go on: %s", "reason"), testing::ExitedWithCode(3),
                "CRITICAL cannot go on: reason");
}

TEST(Trace, ChainLogsInnermostFirstAndKeepsTheMessage)
{
    std::string caught;
    auto lines = CapturedLines([&] {
        try {
            ThrowThroughTwoLevels(true);
        } catch (const std::exception& e) {
            caught = e.what();
        }
    });
    EXPECT_EQ(caught, "inner failure 7");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find("ERROR Inner('arg'): inner failure 7"), std::string::npos) << lines[0];
    EXPECT_NE(lines[1].find("ERROR Outer(5): inner failure 7"), std::string::npos) << lines[1];
}

TEST(Trace, NonStandardExceptionIsUnknownAndPassesOnUnchanged)
{
    int caught = 0;
    auto lines = CapturedLines([&] {
        try {
            ThrowThroughTwoLevels(false);
        } catch (int value) {
            caught = value;
        }
    });
    EXPECT_EQ(caught, 42);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find("Inner('arg'): Unknown exception"), std::string::npos);
}

TEST(Trace, TraceAndChainedTextsAreCutAt4095)
{
    const std::string longArgument(5000, 'a');
    std::string text = TraceText("message", "Op('%s')", longArgument.c_str());
    EXPECT_EQ(text.size(), 4095u);
    EXPECT_EQ(text.substr(0, 4), "Op('");

    const std::string longMessage(5000, 'm');
    text = TraceText(longMessage.c_str(), "Op()");
    EXPECT_EQ(text.size(), 4095u);
    EXPECT_EQ(text.substr(0, 6), "Op(): ");
}

TEST(Trace, ExceptionMessageItselfIsNotCut)
{
    const std::string longMessage(6000, 'q');
    CMessageException e("%s", longMessage.c_str());
    EXPECT_EQ(std::string(e.what()), longMessage);
}

TEST(XMLError, PiecesJoinIntoOneLineOnTheFinalLineFeed)
{
    auto lines = CapturedLines([] {
        XMLError(nullptr, "first %s", "piece ");
        XMLError(nullptr, "second ");
        XMLError(nullptr, "third\n");
    });
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("ERROR XMLError(): first piece second third "), std::string::npos) << lines[0];
}
