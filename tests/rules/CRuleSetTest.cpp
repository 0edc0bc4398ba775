#include <gtest/gtest.h>

#include <vector>

#include "RuleSetTestUtil.h"
#include "core/CFile.h"
#include "core/CXMLDocument.h"
#include "core/TextUtils.h"
#include "rules/CDispatchTrace.h"

using namespace Nerra;
using namespace NerraTest;

namespace {

const std::string EXPIRED = " expires=\"2000-01-01 00:00:00\"";

std::string RulesetAction(const std::string& method, const std::string& inner = "", const std::string& reference = "")
{
    return "<action handler=\"ruleset\" method=\"" + method + "\"" +
           (reference.empty() ? "" : " reference=\"" + reference + "\"") + ">" + inner + "</action>";
}

std::string Script(const std::string& script)
{
    return "<action handler=\"python\"><script>" + script + "</script></action>";
}

class RuleSetTest : public RuleSetFixture {
protected:
    static std::string Text(const CDispatchDecision& decision)
    {
        return decision.IsDelete() ? "<delete>" : decision.NeedsWholeMessage() ? "<contents>" : decision.GetMailbox();
    }

    // Dispatches messages with the header (plus a pseudo field when given a value) through
    // one rule set and returns each mailbox, or "error: " and the failure. As in service, an
    // answer of "<contents>" brings a second pass with the message file.
    std::vector<std::string> Results(CRuleSet& ruleSet, const std::string& text, size_t messages,
                                     const std::string& field = "", const std::string& value = "")
    {
        auto header = Header(text);
        if (!value.empty())
            header->AddValue(field, value);
        std::vector<std::string> results;
        std::shared_ptr<CFile> file;
        while (results.size() < messages) {
            try {
                results.push_back(Text(ruleSet.DispatchMessage(header, file)));
            } catch (const std::exception& e) {
                results.push_back(std::string("error: ") + e.what());
            }
            file = results.back() == "<contents>" ? MessageFile() : nullptr;
        }
        return results;
    }

    std::shared_ptr<CFile> MessageFile()
    {
        WriteFile(m_Dir / "m.msg", "Subject: s\r\n\r\nbody\r\n");
        return std::make_shared<CFile>(m_Dir / "m.msg", CFile::Reading, CFile::MustExist);
    }

    std::string Saved(const std::string& xpath)
    {
        CXMLDocument document(RulesPath());
        return CXPathContext(document).Eval("%s", xpath.c_str()).GetText();
    }

    size_t SavedCount(const std::string& xpath)
    {
        CXMLDocument document(RulesPath());
        return CXPathContext(document).Eval("%s", xpath.c_str()).GetNodeCount();
    }
};

}  // namespace

TEST_F(RuleSetTest, LoadingFailuresNameTheFault)
{
    const std::string any = AnyMatch();
    const std::pair<std::string, std::string> cases[] = {
        {Rule("<match handler=\"Regex\"/>", Dispatch("x")), "Invalid match handler attribute: 'Regex'"},
        {Rule(any, "<action handler=\"move\"/>"), "Invalid action handler attribute: 'move'"},
        {Rule(any, RulesetAction("Insert-First")), "Invalid ruleset action method: 'Insert-First'"},
        {Rule(any, "<action handler=\"dispatch\"/>"), "Invalid or missing action attribute mailbox"},
        {Rule(RegexMatch("", "any", "x"), Dispatch("x")), "Invalid or missing match attribute header-field-name"},
        {Rule(RegexMatch(";;", "any", "x"), Dispatch("x")), "Invalid or empty match attribute header-field-name"},
        {Rule(RegexMatch("to", "ANY", "x"), Dispatch("x")), "Invalid or missing match attribute match-mode"},
        {Rule(any, "", " description=\"lonely\""), "No actions under rule 'lonely'"},
        {Rule(any, RulesetAction("insert-first")), "Missing template rule under ruleset action 'insert-first'"},
        {"<rule><matches><match/></matches></rule>",
         "The document failed to validate against the XML schema at '" + (m_Dir / "alice/ruleset.xsd") + "'"},
    };
    for (const auto& [rules, message] : cases)
        EXPECT_EQ(LoadFailure(rules), message) << rules;
}

TEST_F(RuleSetTest, DispatchOutcomes)
{
    const std::string any = AnyMatch(), inserted = Rule(any, Dispatch("inserted"));
    struct {
        const char* what;
        std::string rules;
        std::vector<std::string> results;
        std::string logged = "";
        std::string header = "Subject: s\r\n";
        std::string training = "";  // the training mailbox
    } const cases[] = {
        {"no rule accepts", "", {"spam"}, "message header was not accepted by any rule, dispatching message to spam"},
        {"first accepting rule decides",
         Rule(RegexMatch("subject", "any", "no"), Dispatch("first")) + Rule(any, Dispatch("inbox")) +
             Rule(any, Dispatch("never")),
         {"inbox"}},
        {"a rule without matches takes all", Rule("", Dispatch("inbox")), {"inbox"}},
        {"disabled and expired rules are skipped",
         Rule(any, Dispatch("off"), " enabled=\"false\"") + Rule(any, Dispatch("old"), EXPIRED) +
             Rule(any, Dispatch("x"), " enabled=\"TRUE\""),
         {"x"}},
        {"a failing rule sends to spam", Rule(any, Dispatch("x"), " expires=\"\" description=\"undated\""), {"spam"},
         "exception caught when passing message header to rule 'undated', dispatching message to spam mailbox"},
        {"\".\" is refused", Rule(any, Dispatch("."), " description=\"dotty\""), {"spam"},
         "Rule \"dotty\" attempted to dispatch message to a special mailbox \".\""},
        {"the mailbox named after a header field", Rule(any, Dispatch("{{x-folder}}"), " apply-header=\"true\""),
         {"lists"}, "", "Subject: s\r\nX-Folder: lists\r\n"},
        {"a script names the mailbox", Rule(any, Script("result = 'lists'")), {"lists"}},
        {"a script's empty result passes on", Rule(any, Script("result = ''") + Dispatch("next")), {"next"}},
        {"a script without result", Rule(any, Script("x = 1")), {"None"}},
        {"<contents> asks for a second pass and is passed over in it",
         Rule(any, Dispatch("&lt;contents&gt;")) + Rule(any, Dispatch("later")), {"<contents>", "later"}},
        {"training skips other rules and files into the training mailbox",
         Rule(any, RulesetAction("move-next"), " trainable=\"true\"") + Rule(any, Dispatch("inbox")), {"good"}, "",
         "Subject: s\r\n", "good"},
        {"training fails when a trainable rule names a mailbox", Rule(any, Dispatch("inbox"), " trainable=\"true\""),
         {"error: In training mode the ruleset should have come up with no result"},
         "An action returned non-empty mailbox name in training mode", "Subject: s\r\n", "good"},
        {"insert-after the current rule is tried for the same message",
         Rule(any, RulesetAction("insert-after", inserted)) + Rule(any, Dispatch("old")), {"inserted"}},
        {"insert-before takes effect from the next message",
         Rule(any, RulesetAction("insert-before", inserted), " id=\"r1\"") + Rule(any, Dispatch("old")),
         {"old", "inserted"}},
        {"insert-first takes effect from the next message",
         Rule(any, RulesetAction("insert-first", inserted)) + Rule(any, Dispatch("old")), {"old", "inserted"}},
        {"insert-before a rule found by id",
         Rule(any, RulesetAction("insert-before", inserted, "r3"), " id=\"r1\"") +
             Rule(RegexMatch("subject", "any", "no"), Dispatch("never"), " id=\"r2\"") +
             Rule(any, Dispatch("r3"), " id=\"r3\""),
         {"inserted"}},
        {"insert-last", Rule(any, RulesetAction("insert-last", inserted)), {"inserted"}},
        {"an unknown reference fails the rule", Rule(any, RulesetAction("insert-before", inserted, "r7")), {"spam"},
         "insert-before(r7) failed, rule id is not found in the ruleset"},
        {"delete-current without a decision goes on with the next rule",
         Rule(any, RulesetAction("delete-current")) + Rule(any, Dispatch("next")), {"next", "next"}},
        {"move-end ends the walk", Rule(any, RulesetAction("move-end")) + Rule(any, Dispatch("x")), {"spam"},
         "was not accepted by any rule"},
        {"move-next twice skips the following rule",
         Rule(any, RulesetAction("move-next") + RulesetAction("move-next")) + Rule(any, Dispatch("skipped")) +
             Rule(any, Dispatch("reached")),
         {"reached"}},
        {"move-first restarts the walk",
         Rule(any, Dispatch("first"), " enabled=\"false\"") +
             Rule(any, RulesetAction("delete-current") + RulesetAction("move-first")) + Rule(any, Dispatch("after")),
         {"after"}},
        {"a walk sent back for ever is cut",
         Rule(any, RulesetAction("move-next")) + Rule(any, RulesetAction("move-first")), {"spam"},
         "The walk of the rules took more than 10000 rule evaluations"},
        {"a walk that inserts rules for ever is cut",
         Rule(any, RulesetAction("insert-first", Rule(any, RulesetAction("move-next"))) + RulesetAction("move-first")),
         {"spam"}, "The walk of the rules took more than 10000 rule evaluations"},
    };
    for (const auto& c : cases) {
        WriteRules(c.rules);
        std::vector<std::string> results;
        const std::string log = Quietly([&] {
            CRuleSet ruleSet("alice", RulesPath(), SchemaPath());
            results = Results(ruleSet, c.header, c.results.size(), "x-nerra-training-mailbox", c.training);
        });
        EXPECT_EQ(results, c.results) << c.what;
        EXPECT_NE(log.find(c.logged), std::string::npos) << c.what << "\n" << log.substr(0, 2000);
    }
}

TEST_F(RuleSetTest, DecisionIsCountedForTheRuleTheWalkStandsOnOrElseTheOneThatRan)
{
    // The deletion moves the walk onto "mover"; move-end moves it past the end.
    WriteRules(Rule(AnyMatch(), RulesetAction("delete-current") + Dispatch("junk"), " id=\"gone\"") +
               Rule(AnyMatch(), RulesetAction("move-end") + Dispatch("box"), " id=\"mover\""));
    Quietly([&] {
        CRuleSet ruleSet("alice", RulesPath(), SchemaPath());
        EXPECT_EQ(Results(ruleSet, "S: s\r\n", 2), (std::vector<std::string>{"junk", "box"}));
    });
    EXPECT_EQ(SavedCount("/ruleset/rules/rule"), 1u);
    EXPECT_EQ(Saved("/ruleset/rules/rule/@id"), "mover");
    EXPECT_EQ(Saved("/ruleset/rules/rule/@dispatched-messages"), "2");
    EXPECT_EQ(Saved("/ruleset/@dispatched-messages"), "2");
}

TEST_F(RuleSetTest, TemplateWithMacrosBecomesAConcreteRule)
{
    const std::string templ = Rule(RegexMatch("x-nerra-parsed-from-mailbox", "any", "{{x-nerra-parsed-from-mailbox}}"),
                                   Dispatch("known"),
                                   " id=\"sender-{{x-nerra-parsed-from-mailbox}}\" expires=\"{{x-nerra-expires-one-week}}\""
                                   " apply-header=\"true\"");
    WriteRules(Rule(AnyMatch(), RulesetAction("insert-first", templ) + Dispatch("mail"), " apply-header=\"true\""));
    const std::string inWeek = TimeToString(time(nullptr) + 604800);
    const std::string log = Quietly([&] {
        CRuleSet ruleSet("alice", RulesPath(), SchemaPath());
        // The period is escaped: a look-alike sender is not taken for the known one.
        for (const auto& [from, mailbox] : {std::pair{"a.b@h", "mail"}, {"a.b@h", "known"}, {"axb@h", "mail"}}) {
            const std::string header = std::string("From: ") + from + "\r\n";
            EXPECT_EQ(Results(ruleSet, header, 1, "x-nerra-expires-one-week", inWeek)[0], mailbox) << from;
        }
    });
    EXPECT_EQ(log.find("ERROR"), std::string::npos) << log;
    EXPECT_EQ(SavedCount("/ruleset/rules/rule"), 3u);
    EXPECT_EQ(Saved("/ruleset/rules/rule[2]/@id"), "sender-a.b@h");
    EXPECT_EQ(Saved("/ruleset/rules/rule[2]/@expires"), inWeek);
    EXPECT_EQ(Saved("/ruleset/rules/rule[2]/@apply-header"), "true");
    EXPECT_EQ(Saved("/ruleset/rules/rule[2]/@dispatched-messages"), "1");
    EXPECT_EQ(Saved("/ruleset/rules/rule[2]/matches/match/regexes/regex/@pattern"), "a\\.b@h");
    EXPECT_EQ(Saved("/ruleset/rules/rule[1]/@id"), "sender-axb@h");
    // The stored template keeps its macros.
    EXPECT_EQ(Saved("/ruleset/rules/rule[3]/actions/action/rule/@expires"), "{{x-nerra-expires-one-week}}");
}

TEST_F(RuleSetTest, SaveWritesCountersAndDropsExpiredRulesButNotTemplates)
{
    WriteRules(Rule(AnyMatch(), Dispatch("x"), " id=\"old\"" + EXPIRED) +
                   Rule(AnyMatch(), Dispatch("inbox"), " id=\"live\" dispatched-messages=\"5\"") +
                   Rule(AnyMatch(), RulesetAction("insert-first", Rule(AnyMatch(), Dispatch("y"), EXPIRED)),
                        " id=\"expired-template\" enabled=\"false\""),
               41);
    Quietly([&] {
        CRuleSet ruleSet("alice", RulesPath(), SchemaPath());
        EXPECT_EQ(Results(ruleSet, "S: s\r\n", 1)[0], "inbox");
    });
    EXPECT_EQ(Saved("/ruleset/@dispatched-messages"), "42");
    EXPECT_EQ(SavedCount("/ruleset/rules/rule"), 2u);
    EXPECT_EQ(Saved("/ruleset/rules/rule[1]/@id"), "live");
    EXPECT_EQ(Saved("/ruleset/rules/rule[1]/@dispatched-messages"), "6");
    // An expired template stays with its action, which could not be loaded again without it.
    EXPECT_EQ(SavedCount("/ruleset/rules/rule[2]/actions/action/rule"), 1u);
    EXPECT_EQ(Saved("/ruleset/rules/rule[2]/actions/action/@method"), "insert-first");
}

TEST_F(RuleSetTest, UnreadableExpiryFailsItsRuleButEveryOtherUpdateIsSaved)
{
    WriteRules(Rule(AnyMatch(), Dispatch("x"), " expires=\"\" id=\"empty\" enabled=\"false\"") +
               Rule(AnyMatch(), Dispatch("x"), " expires=\"2037-12-31 23:59IIII:59\" id=\"garbled\"") +
               Rule(AnyMatch(), Dispatch("inbox"), " id=\"live\""));
    const std::string log = Quietly([&] {
        CRuleSet ruleSet("alice", RulesPath(), SchemaPath());
        // The enabled rule fails when it is reached, as a failing rule does.
        EXPECT_EQ(Results(ruleSet, "S: s\r\n", 1)[0], "spam");
    });
    EXPECT_EQ(SavedCount("/ruleset/rules/rule"), 3u);
    EXPECT_EQ(Saved("/ruleset/rules/rule[1]/@expires"), "");
    EXPECT_EQ(Saved("/ruleset/rules/rule[2]/@expires"), "2037-12-31 23:59IIII:59");
    EXPECT_EQ(Saved("/ruleset/@dispatched-messages"), "1");
    EXPECT_NE(log.find("rule 'a rule' has an unreadable expiry '2037-12-31 23:59IIII:59'"), std::string::npos) << log;
}

TEST_F(RuleSetTest, RoundTripKeepsTheRules)
{
    const std::string script = "<match handler=\"python\"><script>if 1 &gt; 2:\n    result = 'match'</script></match>";
    const std::string insert = RulesetAction("insert-after", Rule(AnyMatch(), Dispatch("t")), "one");
    WriteRules(Rule(RegexMatch("from;sender", "all", "a.*\nb"), Dispatch("box"), " id=\"one\" description=\"a &amp; b\"") +
                   Rule(script, insert, " trainable=\"true\""),
               3);
    Quietly([&] { CRuleSet first("alice", RulesPath(), SchemaPath()); });
    const std::string once = ReadFile(RulesPath());
    Quietly([&] { CRuleSet second("alice", RulesPath(), SchemaPath()); });
    // Saving what was loaded from a save changes nothing.
    EXPECT_EQ(ReadFile(RulesPath()), once);
    EXPECT_EQ(Saved("/ruleset/rules/rule[1]/@description"), "a & b");
    EXPECT_EQ(Saved("/ruleset/rules/rule[1]/matches/match/@header-field-name"), "from;sender");
    EXPECT_EQ(Saved("/ruleset/rules/rule[1]/matches/match/@match-mode"), "all");
    EXPECT_EQ(Saved("/ruleset/rules/rule[2]/matches/match/script"), "if 1 > 2:\n    result = 'match'");
    EXPECT_EQ(Saved("/ruleset/rules/rule[2]/actions/action/@reference"), "one");
    EXPECT_EQ(Saved("/ruleset/rules/rule[2]/@trainable"), "true");
}

TEST_F(RuleSetTest, TheDemoRuleSetLoadsFilesAndSaves)
{
    std::filesystem::copy_file(std::string(NERRA_SOURCE_DIR) + "/examples/mail/demo/ruleset.xml", RulesPath(),
                               std::filesystem::copy_options::overwrite_existing);
    const std::pair<const char*, const char*> cases[] = {{"List-Id: <dev.lists.example.org>\r\n", "lists"},
                                                         {"From: Bob <bob@mail.example.com>\r\n", "work"},
                                                         {"From: x@y.z\r\nSubject: You are a WINNER\r\n", "spam"},
                                                         {"From: x@y.z\r\nSubject: hello\r\n", "mail"}};
    Quietly([&] {
        CRuleSet ruleSet("alice", RulesPath(), SchemaPath());
        for (const auto& [header, mailbox] : cases)
            EXPECT_EQ(Results(ruleSet, header, 1, "x-nerra-expires-never", "2037-12-31 23:59:59")[0], mailbox) << header;
    });
    EXPECT_EQ(Saved("/ruleset/@dispatched-messages"), "4");
}

TEST_F(RuleSetTest, TheTraceFollowsTheWalkAndTheDecision)
{
    const std::string any = AnyMatch();
    WriteRules(Rule(any, Dispatch("x"), " description=\"off\" enabled=\"false\"") +
               Rule(any, Dispatch("x"), " description=\"old\"" + EXPIRED) +
               Rule(RegexMatch("subject", "any", "no"), Dispatch("x"), " description=\"refuses\"") +
               Rule(any, RulesetAction("insert-last", Rule(any, Dispatch("y"), " description=\"t\"")) +
                             Script("result = ''"),
                    " description=\"edits\" id=\"e\"") +
               Rule(any, Script("raise ValueError('boom')"), " description=\"fails\""));
    CDispatchTrace trace;
    Quietly([&] {
        CRuleSet ruleSet("alice", RulesPath(), SchemaPath(), CRuleSet::Persistence::ReadOnly);
        ruleSet.DispatchMessage(Header("Subject: s\r\n"), nullptr, &trace);
    });
    ASSERT_EQ(trace.rules.size(), 5u);
    EXPECT_EQ(trace.rules[0].skipped, "disabled");
    EXPECT_EQ(trace.rules[1].skipped, "expired");
    EXPECT_FALSE(trace.rules[2].accepted);
    EXPECT_EQ(trace.rules[2].matches.at(0).detail, "no value of subject matches any pattern");
    EXPECT_EQ(trace.rules[3].id, "e");
    ASSERT_EQ(trace.rules[3].actions.size(), 2u);
    EXPECT_EQ(trace.rules[3].actions[0].detail, "rule set insert-last rule 't'");
    EXPECT_EQ(trace.rules[3].actions[1].result, "");
    EXPECT_EQ(trace.rules[4].failure, "Python exception <class 'ValueError'>: boom");
    EXPECT_EQ(trace.decision.Describe(), "spam (rule 'fails' failed: Python exception <class 'ValueError'>: boom)");
    // A read-only rule set edits only its own copy.
    EXPECT_EQ(SavedCount("/ruleset/rules/rule"), 5u);
}

TEST_F(RuleSetTest, AnEditOnDiskWinsOverTheCachedCopy)
{
    WriteRules(Rule(AnyMatch(), Dispatch("inbox")));
    const std::string log = Quietly([&] {
        CRuleSet ruleSet("alice", RulesPath(), SchemaPath());
        Results(ruleSet, "S: s\r\n", 2);
        WriteRules(Rule(AnyMatch(), Dispatch("edited")), 9);
    });
    EXPECT_EQ(Saved("/ruleset/rules/rule/actions/action/@mailbox"), "edited");
    EXPECT_EQ(Saved("/ruleset/@dispatched-messages"), "9");
    EXPECT_NE(log.find("WARNING CRuleSet::Save(alice): " + RulesPath() +
                       " was changed on disk since it was loaded, the edit is kept and 2 counter updates are given up"),
              std::string::npos)
        << log;
}
