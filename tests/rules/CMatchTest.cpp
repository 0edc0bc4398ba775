#include <gtest/gtest.h>

#include "RuleSetTestUtil.h"
#include "core/CFile.h"
#include "rules/CDispatchTrace.h"

using namespace Nerra;
using namespace NerraTest;

namespace {

class MatchTest : public RuleSetFixture {
protected:
    // The mailbox a one-rule set gives the header ("hit" when the rule's matches accept it),
    // and what the trace says decided its last match.
    std::string Outcome(const std::string& matches, const std::string& header, const std::string& attributes = "",
                        std::string* detail = nullptr, std::string* log = nullptr)
    {
        std::string result;
        CDispatchTrace trace;
        const std::string logged = Quietly([&] {
            result = Load(Rule(matches, Dispatch("hit"), attributes))->DispatchMessage(Header(header), nullptr, &trace).GetMailbox();
        });
        if (detail)
            *detail = trace.rules.at(0).matches.empty() ? "" : trace.rules[0].matches.back().detail;
        if (log)
            *log = logged;
        return result;
    }
};

std::string Script(const std::string& text) { return "<match handler=\"python\"><script>" + text + "</script></match>"; }

}  // namespace

TEST_F(MatchTest, RegexModesAndWhatDecidedThem)
{
    const std::string to = "To: a@h\r\nTo: b@other\r\n", senders = "From: a@h\r\nSender: b@h\r\n";
    const struct {
        std::string match, header, mailbox, detail;
    } cases[] = {
        // Each pattern covers a whole value, case-sensitively.
        {RegexMatch("subject", "any", "ab"), "Subject: xaby\r\n", "spam", "no value of subject matches any pattern"},
        {RegexMatch("subject", "any", "ab"), "Subject: ab\r\n", "hit", "subject: 'ab' matches pattern 'ab'"},
        {RegexMatch("subject", "any", "a|b"), "Subject: ab\r\n", "spam", ""},
        {RegexMatch("Subject", "any", "[[:word:]]+"), "SUBJECT: Word\r\n", "hit", ""},
        {RegexMatch("subject", "any", "word"), "Subject: WORD\r\n", "spam", ""},
        {RegexMatch("subject", "any", "a+"), "Subject: " + std::string(5000, 'a') + "!\r\n", "spam", ""},
        // "any" needs one value, "all" every value of every field against every pattern.
        {RegexMatch("to", "all", ".*@h"), to, "spam", "to: 'b@other' does not match pattern '.*@h'"},
        {RegexMatch("to", "any", ".*@h"), to, "hit", ""},
        {RegexMatch("to", "all", ".*@.*"), to, "hit", "every value of to matches every pattern"},
        {RegexMatch("from;;sender", "all", ".@h\n[ab]@h"), senders, "hit", ""},
        {RegexMatch("from;sender", "all", ".@h\na@h"), senders, "spam", "sender: 'b@h' does not match pattern 'a@h'"},
        {RegexMatch("from;sender", "any", "x\nb@h"), senders, "hit", "sender: 'b@h' matches pattern 'b@h'"},
        // Nothing to test is false in both modes.
        {RegexMatch("x-absent", "any", ".*"), "Subject: s\r\n", "spam", ""},
        {RegexMatch("x-absent", "all", ".*"), "Subject: s\r\n", "spam", "no value of x-absent to match"},
        {RegexMatch("subject", "all", ""), "Subject: s\r\n", "spam", "no patterns"},
        {AnyMatch(), "Subject: s\r\n", "hit", "accepts every message"},
    };
    for (const auto& c : cases) {
        std::string detail;
        EXPECT_EQ(Outcome(c.match, c.header, "", &detail), c.mailbox) << c.match << c.header;
        if (!c.detail.empty())
            EXPECT_EQ(detail, c.detail) << c.match;
    }
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

TEST_F(MatchTest, FailingMatchesFailTheRule)
{
    const std::pair<std::string, std::string> cases[] = {
        // A runaway pattern gives up instead of hanging the worker.
        {RegexMatch("subject", "any", "(a|aa)*(a|aa)*(a|aa)*c"), "CRegexHeaderValueMatch::Match("},
        {RegexMatch("subject", "any", "a(b"), "CRegexHeaderValueMatch::Match("},
        {Script("result = headers['from']"), "Python exception <class 'KeyError'>: 'from'"},
    };
    for (const auto& [match, logged] : cases) {
        std::string log;
        EXPECT_EQ(Outcome(match, "Subject: " + std::string(2000, 'a') + "\r\n", "", nullptr, &log), "spam");
        EXPECT_NE(log.find("exception caught when passing message header to rule 'a rule'"), std::string::npos);
        EXPECT_NE(log.find(logged), std::string::npos) << log;
    }
}

TEST_F(MatchTest, ScriptMatchAcceptsOnlyTheExactWordMatch)
{
    std::string detail;
    EXPECT_EQ(Outcome(Script("result = 'match'"), "Subject: s\r\n", "", &detail), "hit");
    EXPECT_EQ(detail, "script result 'match'");
    EXPECT_EQ(Outcome(Script("result = 'Match'"), "Subject: s\r\n"), "spam");
    EXPECT_EQ(Outcome(Script("x = 1"), "Subject: s\r\n", "", &detail), "spam");
    EXPECT_EQ(detail, "script result 'None'");
    EXPECT_EQ(Outcome(Script("result = 'match' if headers['to:count'] == 2 else ''"), "To: a@b\r\nTo: c@d\r\n"), "hit");
}

TEST_F(MatchTest, ScriptSeesEscapedMacroValuesAndTheFileName)
{
    const std::string text = "result = 'match' if \"{{subject}}\" == headers['subject'] else ''";
    EXPECT_EQ(Outcome(Script(text), "Subject: a \"quoted\" \\ value\r\n", " apply-header=\"true\""), "hit");

    WriteFile(m_Dir / "message.msg", "Subject: s\r\n\r\nbody\r\n");
    auto file = std::make_shared<CFile>(m_Dir / "message.msg", CFile::Reading, CFile::MustExist);
    auto ruleSet = Load(Rule(Script("result = 'match' if headers['x-nerra-message-filename'] == '" +
                                    (m_Dir / "message.msg") + "' else ''"),
                             Dispatch("hit")));
    EXPECT_EQ(ruleSet->DispatchMessage(Header("Subject: s\r\n"), file).GetMailbox(), "hit");
}
