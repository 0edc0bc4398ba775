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

TEST(CLog, EachEventIsOneWholeLineWithTimestampThreadIdAndLevel)
{
    const std::string longMessage(10000, 'x');
    auto lines = CapturedLines([&] {
        CLog::Instance().Info("hello %d", 1);
        CLog::Instance().Warning("careful");
        CLog::Instance().Error("broken");
        CLog::Instance().Info("a\r\nb\tc\x01" "d\xe9");  // control bytes would split the event
        CLog::Instance().Info("%s", longMessage.c_str());
        XMLError(nullptr, "first %s", "piece ");  // the XML error sink joins pieces up to the line feed
        XMLError(nullptr, "second ");
        XMLError(nullptr, "third\n");
    });
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"INFO", "hello 1"}, {"WARNING", "careful"}, {"ERROR", "broken"}, {"INFO", "a  b c d\xe9"}, {"INFO", longMessage},
        {"ERROR", "XMLError(): first piece second third "}};
    const boost::regex format(R"(^\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3} \[[0-9a-f]{8}\] (INFO|WARNING|ERROR) (.*)$)");
    ASSERT_EQ(lines.size(), expected.size());
    for (size_t i = 0; i < lines.size(); ++i) {
        boost::smatch parts;
        ASSERT_TRUE(boost::regex_match(lines[i], parts, format)) << lines[i].substr(0, 120);
        EXPECT_EQ(parts[1], expected[i].first);
        EXPECT_EQ(parts[2], expected[i].second);
    }
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

TEST(Trace, FailureCarriesItsPathAndIsLoggedOnceWhereItIsHandled)
{
    auto lines = CapturedLines([&] {
        try {
            ThrowThroughTwoLevels(true);
        } catch (const CMessageException& e) {
            EXPECT_STREQ(e.what(), "inner failure 7");  // the bare message, as replies name it
            EXPECT_EQ(e.GetTrace(), "Inner('arg') < Outer(5)");
        }
        try {
            ThrowThroughTwoLevels(true);
        } catch (...) {
            LogFailure("Boundary()");
        }
        EXPECT_THROW(ThrowThroughTwoLevels(false), int);  // not ours: passed on untouched
    });
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("ERROR Boundary(): inner failure 7 [trace: Inner('arg') < Outer(5)]"), std::string::npos)
        << lines[0];
}

TEST(Trace, TraceTextsAreCutAt4095ButTheExceptionMessageIsNot)
{
    const std::string longText(5000, 'a');
    CMessageException failure("%s", longText.c_str());
    for (int i = 0; i < 3; ++i)
        failure.AddTrace(longText);
    EXPECT_EQ(failure.GetTrace().size(), 4095u);
    EXPECT_EQ(std::string(failure.what()), longText);
    try {
        throw failure;
    } catch (...) {
        EXPECT_EQ(FailureText("Op('%s')", longText.c_str()).size(), 4095u);
        EXPECT_EQ(FailureText("Op()").substr(0, 6), "Op(): ");
    }
}
