#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <string>
#include <thread>
#include <vector>

#include "core/TextUtils.h"
#include "message/CMessageHeader.h"
#include "rules/CPython.h"
#include "rules/CScriptDictionary.h"

namespace Nerra {
namespace {

// The runtime must start on the main thread before any test starts threads of its own.
class CPythonEnvironment : public testing::Environment {
public:
    void SetUp() override { CPython::Instance(); }
};

testing::Environment* const g_PythonEnvironment = testing::AddGlobalTestEnvironment(new CPythonEnvironment);

std::string RunScript(const std::string& script, const CScriptDictionary& dictionary = CScriptDictionary())
{
    return CPython::Instance().Execute(script, dictionary, false);
}

std::string FailureOf(const std::string& script, bool compileOnly,
                      const CScriptDictionary& dictionary = CScriptDictionary())
{
    try {
        CPython::Instance().Execute(script, dictionary, compileOnly);
    } catch (const CMessageException& e) {
        return e.what();
    }
    return "no failure";
}

// shared_state outlives every test; each starts with it empty so that tests may repeat.
class CPythonTest : public testing::Test {
protected:
    void SetUp() override { RunScript("shared_state.clear()"); }
};

// Run in order: globals start fresh for each run, shared_state outlives them.
TEST_F(CPythonTest, ResultIsTheTextOfTheResultVariable)
{
    const char* count = "shared_state['n'] = shared_state.get('n', 0) + 1\nresult = shared_state['n']";
    const struct {
        const char* script;
        const char* result;
    } cases[] = {
        {"result = 'match'", "match"},
        {"unrelated = 'match'", "None"},
        {"result = ''", ""},
        {"result = 6 * 7", "42"},
        {"result = str('unrelated' in globals())", "False"},
        {count, "1"},
        {count, "2"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(RunScript(c.script), c.result) << c.script;
}

TEST_F(CPythonTest, CompileOnlyRunsNothingAndFailuresAreNotCached)
{
    EXPECT_EQ(CPython::Instance().Execute("shared_state['compiled only'] = True\nresult = 'ran'", {}, true), "");
    EXPECT_EQ(RunScript("result = str('compiled only' in shared_state)"), "False");
    const std::string broken = "shared_state['ran'] = 1\nif (:\n";
    const std::string key = ShortHash("shared_state['ran'] = 1\nif (:", 29);
    const std::string expected =
        "Python exception <class 'SyntaxError'>: invalid syntax (SCRIPT_" + key + ", line 2)";
    EXPECT_EQ(FailureOf(broken, true), expected);
    EXPECT_EQ(FailureOf(broken, false), expected);
    EXPECT_EQ(RunScript("result = str('ran' in shared_state)"), "False");
    EXPECT_EQ(FailureOf(std::string("result = 'a'\0'b'", 16), true), "Script text contains a NUL byte");
}

TEST_F(CPythonTest, RunFailuresCarryTheExceptionTypeAndValue)
{
    testing::internal::CaptureStdout();
    EXPECT_EQ(FailureOf("result = headers['from']", false), "Python exception <class 'KeyError'>: 'from'");
    EXPECT_EQ(FailureOf("result = 'match'\nprint('chatter', flush=True)\nraise ValueError('late')", false),
              "Python exception <class 'ValueError'>: late");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(FailureOf("input()", false), "Python exception <class 'RuntimeError'>: input(): lost sys.stdin");
    // A str that has no bytes form cannot be a mailbox name.
    EXPECT_EQ(FailureOf("result = '\\ud800'", false).rfind("Python exception <class 'UnicodeEncodeError'>: ", 0),
              0u);
    // Nothing is left pending for the next run.
    EXPECT_EQ(RunScript("result = 'match'"), "match");
}

TEST_F(CPythonTest, HeadersCarryBytesIntegersAndTheFirstValueOfAName)
{
    CScriptDictionary dictionary;
    const std::string raw("\xff\xfe broken \x80 NUL \0 end", 21);
    dictionary.SetText("subject", raw);
    dictionary.SetText("from", "J\xc3\xbcrgen <j@example.org>");
    dictionary.SetText("x-\xff", "odd name");
    dictionary.SetText("to", "first");
    dictionary.SetText("to", "second");
    dictionary.SetInteger("to", 7);
    dictionary.SetInteger("to:count", INT32_MAX);
    dictionary.SetInteger("to:count", 9);
    dictionary.SetText("to:count", "text");
    dictionary.SetInteger("min", INT32_MIN);
    EXPECT_EQ(RunScript("result = headers['subject']", dictionary), raw);
    // Valid UTF-8 reads as text: the u-umlaut is one character.
    EXPECT_EQ(RunScript("result = headers['from'][1]", dictionary), "\xc3\xbc");
    EXPECT_EQ(RunScript("result = [k for k in headers if k.startswith('x-')][0]", dictionary), "x-\xff");
    EXPECT_EQ(RunScript("result = '%s %r %r' % (headers['to'], headers['to:count'] + 1, headers['min'] - 1)",
                        dictionary),
              "first 2147483648 -2147483649");
}

TEST(CScriptDictionary, ForMessageGivesEveryValueItsCountAndTheParsedTwins)
{
    CMessageHeader header("To: a@b\r\nTo: c@d\r\n");
    const CScriptDictionary dictionary = CScriptDictionary::ForMessage(header, "/m/x.msg");
    const auto& texts = dictionary.GetTexts();
    EXPECT_EQ(texts.at("to"), "a@b");
    EXPECT_EQ(texts.at("to:1"), "c@d");
    EXPECT_EQ(texts.count("to:2"), 0u);
    EXPECT_EQ(dictionary.GetIntegers().at("to:count"), 2);
    EXPECT_EQ(texts.at("x-nerra-parsed-to-mailbox:1"), "c@d");
    EXPECT_EQ(texts.at("x-nerra-message-filename"), "/m/x.msg");
}

TEST_F(CPythonTest, ScriptsFromManyThreadsRunOneAtATime)
{
    // The sleep gives up Python's own lock mid-script: only the host's lock keeps another
    // script from running in between and losing an increment.
    const std::string increment = "import time\n"
                                  "seen = shared_state.get('threads', 0)\n"
                                  "time.sleep(0.0002)\n"
                                  "shared_state['threads'] = seen + 1\n"
                                  "result = headers['thread']";
    const int threads = 4;
    const int runs = 40;
    std::atomic<int> mismatches{0};
    // Two rounds: the second one's threads need states of their own after the first's ended.
    for (int round = 0; round < 2; ++round) {
        std::vector<std::thread> workers;
        for (int t = 0; t < threads; ++t) {
            workers.emplace_back([&, t] {
                CScriptDictionary dictionary;
                dictionary.SetText("thread", std::to_string(t));
                for (int i = 0; i < runs; ++i)
                    if (RunScript(increment, dictionary) != std::to_string(t))
                        ++mismatches;
            });
        }
        for (std::thread& worker : workers)
            worker.join();
    }
    EXPECT_EQ(mismatches.load(), 0);
    CLockGuard guard(CPython::Instance());  // the holder may run scripts itself

    EXPECT_EQ(RunScript("result = shared_state['threads']"), std::to_string(2 * threads * runs));
}

}  // namespace
}  // namespace Nerra
