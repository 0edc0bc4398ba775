#include <gtest/gtest.h>

#include "RuleSetTestUtil.h"
#include "core/CFile.h"

using namespace Nerra;
using namespace NerraTest;

namespace {

class MatchTest : public RuleSetFixture {
protected:
    // The mailbox a one-rule set gives the header: "hit" when the rule's matches accept it.
    std::string Outcome(const std::string& matches, const std::string& header, const std::string& attributes = "")
    {
        std::string result;
        Quietly([&] { result = Load(Rule(matches, Dispatch("hit"), attributes))->DispatchMessage(Header(header), nullptr).GetMailbox(); });
        return result;
    }
};

}  // namespace

TEST_F(MatchTest, PatternsCoverTheWholeValue)
{
    EXPECT_EQ(Outcome(RegexMatch("subject", "any", "ab"), "Subject: xaby\r\n"), "spam");
    EXPECT_EQ(Outcome(RegexMatch("subject", "any", "ab"), "Subject: ab\r\n"), "hit");
    EXPECT_EQ(Outcome(RegexMatch("subject", "any", "a|b"), "Subject: b\r\n"), "hit");
    EXPECT_EQ(Outcome(RegexMatch("subject", "any", "a|b"), "Subject: ab\r\n"), "spam");
    EXPECT_EQ(Outcome(RegexMatch("Subject", "any", "[[:word:]]+"), "SUBJECT: Word\r\n"), "hit");
    EXPECT_EQ(Outcome(RegexMatch("subject", "any", "word"), "Subject: WORD\r\n"), "spam");  // case-sensitive
}

TEST_F(MatchTest, AnyNeedsOneValueAllNeedsEvery)
{
    const std::string header = "To: a@h\r\nTo: b@other\r\n";
    EXPECT_EQ(Outcome(RegexMatch("to", "all", ".*@h"), header), "spam");
    EXPECT_EQ(Outcome(RegexMatch("to", "any", ".*@h"), header), "hit");
    EXPECT_EQ(Outcome(RegexMatch("to", "all", ".*@.*"), header), "hit");
}

TEST_F(MatchTest, EveryPatternIsTriedOverEveryFieldInAllMode)
{
    const std::string header = "From: a@h\r\nSender: b@h\r\n";
    EXPECT_EQ(Outcome(RegexMatch("from;;sender", "all", ".@h\n[ab]@h"), header), "hit");
    EXPECT_EQ(Outcome(RegexMatch("from;sender", "all", ".@h\na@h"), header), "spam");
    EXPECT_EQ(Outcome(RegexMatch("from;sender", "any", "x\nb@h"), header), "hit");
}

TEST_F(MatchTest, NothingToTestIsFalseInBothModes)
{
    EXPECT_EQ(Outcome(RegexMatch("x-absent", "any", ".*"), "Subject: s\r\n"), "spam");
    EXPECT_EQ(Outcome(RegexMatch("x-absent", "all", ".*"), "Subject: s\r\n"), "spam");
    EXPECT_EQ(Outcome(RegexMatch("subject", "all", ""), "Subject: s\r\n"), "spam");
}

TEST_F(MatchTest, MacroValuesInPatternsMatchLiterally)
{
    const std::string rule = RegexMatch("x-nerra-parsed-from-mailbox", "any", "{{x-nerra-parsed-from-mailbox}}");
    EXPECT_EQ(Outcome(rule, "From: a.b@h\r\n", " apply-header=\"true\""), "hit");
    // Without apply-header the pattern keeps its braces and matches nothing.
    EXPECT_EQ(Outcome(rule, "From: a.b@h\r\n"), "spam");

    const std::string other = RegexMatch("subject", "any", "{{x-nerra-parsed-from-mailbox}}");
    EXPECT_EQ(Outcome(other, "From: a.b@h\r\nSubject: axb@h\r\n", " apply-header=\"true\""), "spam");
    EXPECT_EQ(Outcome(other, "From: a+b@h\r\nSubject: a+b@h\r\n", " apply-header=\"true\""), "hit");
}

TEST_F(MatchTest, LongValuesMeetThePatternWhole)
{
    const std::string header = "Subject: " + std::string(5000, 'a') + "!\r\n";
    EXPECT_EQ(Outcome(RegexMatch("subject", "any", "a+"), header), "spam");
    EXPECT_EQ(Outcome(RegexMatch("subject", "any", "a{5000}!"), header), "hit");
}

TEST_F(MatchTest, RunawayPatternFailsTheRuleInsteadOfHanging)
{
    const std::string header = "Subject: " + std::string(2000, 'a') + "\r\n";
    std::string log;
    std::string result;
    log = Quietly([&] {
        result = Load(Rule(RegexMatch("subject", "any", "(a|aa)*(a|aa)*(a|aa)*c"), Dispatch("hit")))
                     ->DispatchMessage(Header(header), nullptr).GetMailbox();
    });
    EXPECT_EQ(result, "spam");
    EXPECT_NE(log.find("exception caught when passing message header to rule 'a rule'"), std::string::npos) << log;
}

TEST_F(MatchTest, BadPatternFailsTheRule)
{
    std::string log;
    std::string result;
    log = Quietly([&] {
        result = Load(Rule(RegexMatch("subject", "any", "a(b"), Dispatch("hit")))
                     ->DispatchMessage(Header("Subject: ab\r\n"), nullptr).GetMailbox();
    });
    EXPECT_EQ(result, "spam");
    EXPECT_NE(log.find("CRegexHeaderValueMatch::Match("), std::string::npos);
}

TEST_F(MatchTest, ScriptMatchAcceptsOnlyTheExactWordMatch)
{
    auto script = [](const std::string& text) { return "<match handler=\"python\"><script>" + text + "</script></match>"; };
    EXPECT_EQ(Outcome(script("result = 'match'"), "Subject: s\r\n"), "hit");
    EXPECT_EQ(Outcome(script("result = 'Match'"), "Subject: s\r\n"), "spam");
    EXPECT_EQ(Outcome(script("x = 1"), "Subject: s\r\n"), "spam");
    EXPECT_EQ(Outcome(script("if headers['subject'] == 'win':\n    result = 'match'"), "Subject: win\r\n"), "hit");
    EXPECT_EQ(Outcome(script("result = 'match' if headers['to:count'] == 2 else ''"), "To: a@b\r\nTo: c@d\r\n"), "hit");
}

TEST_F(MatchTest, ScriptSeesEscapedMacroValuesAndTheFileName)
{
    const std::string text = "result = 'match' if \"{{subject}}\" == headers['subject'] else ''";
    EXPECT_EQ(Outcome("<match handler=\"python\"><script>" + text + "</script></match>",
                      "Subject: a \"quoted\" \\ value\r\n", " apply-header=\"true\""),
              "hit");

    WriteFile(m_Dir / "message.msg", "Subject: s\r\n\r\nbody\r\n");
    auto file = std::make_shared<CFile>(m_Dir / "message.msg", CFile::Reading, CFile::MustExist);
    auto ruleSet = Load(Rule("<match handler=\"python\"><script>result = 'match' if headers['x-nerra-message-filename'] == '" +
                                 (m_Dir / "message.msg") + "' else ''</script></match>",
                             Dispatch("hit")));
    EXPECT_EQ(ruleSet->DispatchMessage(Header("Subject: s\r\n"), file).GetMailbox(), "hit");
}

TEST_F(MatchTest, ScriptErrorFailsTheRule)
{
    std::string result;
    std::string log = Quietly([&] {
        result = Load(Rule("<match handler=\"python\"><script>result = headers['from']</script></match>", Dispatch("hit")))
                     ->DispatchMessage(Header("Subject: s\r\n"), nullptr).GetMailbox();
    });
    EXPECT_EQ(result, "spam");
    EXPECT_NE(log.find("Python exception <class 'KeyError'>: 'from'"), std::string::npos) << log;
}
