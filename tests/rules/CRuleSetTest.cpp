#include <gtest/gtest.h>

#include "RuleSetTestUtil.h"
#include "core/CFile.h"
#include "core/CXMLDocument.h"
#include "core/TextUtils.h"

using namespace Nerra;
using namespace NerraTest;

namespace {

class RuleSetTest : public RuleSetFixture {
protected:
    std::string DispatchOnce(const std::string& rules, const std::string& header, std::string* log = nullptr)
    {
        std::string result;
        std::string captured = Quietly([&] { result = Load(rules)->DispatchMessage(Header(header), nullptr, nullptr); });
        if (log)
            *log = captured;
        return result;
    }

    std::shared_ptr<CFile> MessageFile()
    {
        WriteFile(m_Dir / "m.msg", "Subject: s\r\n\r\nbody\r\n");
        return std::make_shared<CFile>(m_Dir / "m.msg", CFile::Access::Read, CFile::ShareRead, CFile::OpenExisting);
    }

    // Reads an attribute of the saved rule set.
    std::string Saved(const std::string& xpath)
    {
        CXMLDocument document(RulesPath());
        return CXPathContext(document).Eval("%s", xpath.c_str()).GetText();
    }

    size_t SavedRuleCount()
    {
        CXMLDocument document(RulesPath());
        return CXPathContext(document).Eval("/ruleset/rules/rule").GetNodeCount();
    }
};

std::string RulesetAction(const std::string& method, const std::string& inner = "", const std::string& reference = "")
{
    return "<action handler=\"ruleset\" method=\"" + method + "\"" +
           (reference.empty() ? "" : " reference=\"" + reference + "\"") + ">" + inner + "</action>";
}

}  // namespace

TEST_F(RuleSetTest, LoadingFailuresNameTheFault)
{
    const std::string anyMatch = AnyMatch();
    EXPECT_EQ(LoadFailure(Rule("<match handler=\"Regex\"/>", Dispatch("x"))), "Invalid match handler attribute: 'Regex'");
    EXPECT_EQ(LoadFailure(Rule(anyMatch, "<action handler=\"move\"/>")), "Invalid action handler attribute: 'move'");
    EXPECT_EQ(LoadFailure(Rule(anyMatch, RulesetAction("Insert-First"))),
              "Invalid ruleset action method: 'Insert-First'");
    EXPECT_EQ(LoadFailure(Rule(anyMatch, "<action handler=\"dispatch\"/>")),
              "Invalid or missing action attribute mailbox");
    EXPECT_EQ(LoadFailure(Rule(RegexMatch("", "any", "x"), Dispatch("x"))),
              "Invalid or missing match attribute header-field-name");
    EXPECT_EQ(LoadFailure(Rule(RegexMatch(";;", "any", "x"), Dispatch("x"))),
              "Invalid or empty match attribute header-field-name");
    EXPECT_EQ(LoadFailure(Rule(RegexMatch("to", "ANY", "x"), Dispatch("x"))),
              "Invalid or missing match attribute match-mode");
    EXPECT_EQ(LoadFailure(Rule(anyMatch, "", " description=\"lonely\"")), "No actions under rule 'lonely'");
    EXPECT_EQ(LoadFailure(Rule(anyMatch, RulesetAction("insert-first"))),
              "Missing template rule under ruleset action 'insert-first'");
    WriteFile(RulesPath(), "<ruleset dispatched-messages=\"many\"><rules/></ruleset>");
    std::string message;
    Quietly([&] {
        try {
            CRuleSet ruleSet("alice");
        } catch (const std::exception& e) {
            message = e.what();
        }
    });
    EXPECT_EQ(message, "The document failed to validate against the XML schema at '" + (m_Dir / "alice/ruleset.xsd") + "'");
}

TEST_F(RuleSetTest, EmptyRuleSetSendsEverythingToSpamWithAWarning)
{
    std::string log;
    EXPECT_EQ(DispatchOnce("", "Subject: s\r\n", &log), "spam");
    EXPECT_NE(log.find("WARNING CRuleSet::DispatchMessage(alice): message header was not accepted by any rule, "
                       "dispatching message to spam mailbox"),
              std::string::npos)
        << log;
}

TEST_F(RuleSetTest, FirstAcceptingRuleDecides)
{
    const std::string rules = Rule(RegexMatch("subject", "any", "no"), Dispatch("first")) +
                              Rule(AnyMatch(), Dispatch("inbox")) + Rule(AnyMatch(), Dispatch("never"));
    EXPECT_EQ(DispatchOnce(rules, "Subject: s\r\n"), "inbox");
    EXPECT_EQ(DispatchOnce(Rule("", Dispatch("inbox")), "Subject: s\r\n"), "inbox");  // no matches takes all
}

TEST_F(RuleSetTest, DisabledAndExpiredRulesAreSkipped)
{
    const std::string rules = Rule(AnyMatch(), Dispatch("off"), " enabled=\"false\"") +
                              Rule(AnyMatch(), Dispatch("old"), " expires=\"2000-01-01 00:00:00\"") +
                              Rule(AnyMatch(), Dispatch("live"));
    EXPECT_EQ(DispatchOnce(rules, "Subject: s\r\n"), "live");
    EXPECT_EQ(DispatchOnce(Rule(AnyMatch(), Dispatch("x"), " enabled=\"TRUE\""), "Subject: s\r\n"), "x");
}

TEST_F(RuleSetTest, EnabledRuleWithoutExpiryFailsToSpam)
{
    std::string log;
    EXPECT_EQ(DispatchOnce(Rule(AnyMatch(), Dispatch("x"), " expires=\"\""), "Subject: s\r\n", &log), "spam");
    EXPECT_NE(log.find("Invalid date/time value: "), std::string::npos);
}

TEST_F(RuleSetTest, TrainingModeFilesIntoTheNamedMailbox)
{
    const std::string header = "Subject: s\r\n";
    auto training = Header(header);
    training->AddValue("x-nerra-training-mailbox", "good");

    // Trainable rules that decide nothing, and non-trainable ones skipped: the training mailbox.
    std::string rules = Rule(AnyMatch(), RulesetAction("move-next"), " trainable=\"true\"") +
                        Rule(AnyMatch(), Dispatch("inbox"), " trainable=\"false\"");
    std::string result;
    Quietly([&] { result = Load(rules)->DispatchMessage(training, nullptr, nullptr); });
    EXPECT_EQ(result, "good");

    // A trainable rule that names a mailbox breaks training: the dispatch fails.
    rules = Rule(AnyMatch(), Dispatch("inbox"), " trainable=\"true\"");
    std::string log = Quietly([&] {
        EXPECT_THROW(Load(rules)->DispatchMessage(training, nullptr, nullptr), CMessageException);
    });
    EXPECT_NE(log.find("An action returned non-empty mailbox name in training mode"), std::string::npos);
    EXPECT_NE(log.find("In training mode the ruleset should have come up with no result"), std::string::npos);
}

TEST_F(RuleSetTest, ContentsAsksForASecondPassAndIsPassedOverInIt)
{
    const std::string rules = Rule(AnyMatch(), Dispatch("&lt;contents&gt;")) + Rule(AnyMatch(), Dispatch("later"));
    auto ruleSet = Load(rules);
    Quietly([&] {
        EXPECT_EQ(ruleSet->DispatchMessage(Header("Subject: s\r\n"), nullptr, nullptr), "<contents>");
        EXPECT_EQ(ruleSet->DispatchMessage(Header("Subject: s\r\n"), MessageFile(), nullptr), "later");
    });
}

TEST_F(RuleSetTest, DotIsRefusedAsATarget)
{
    std::string log;
    EXPECT_EQ(DispatchOnce(Rule(AnyMatch(), Dispatch("."), " description=\"dotty\""), "Subject: s\r\n", &log), "spam");
    EXPECT_NE(log.find("Rule \"dotty\" attempted to dispatch message to a special mailbox \".\""), std::string::npos);
    EXPECT_NE(log.find("ERROR CRuleSet::DispatchMessage(alice): exception caught when passing message header to rule "
                       "'dotty', dispatching message to spam mailbox"),
              std::string::npos);
}

TEST_F(RuleSetTest, MailboxNamedAfterAHeaderValue)
{
    auto header = Header("Subject: s\r\n");
    header->AddValue("x-nerra-username", "alice");
    std::string result;
    Quietly([&] {
        result = Load(Rule(AnyMatch(), Dispatch("{{x-nerra-username}}"), " apply-header=\"true\""))
                     ->DispatchMessage(header, nullptr, nullptr);
    });
    EXPECT_EQ(result, "alice");
}

TEST_F(RuleSetTest, ScriptActionNamesTheMailboxOrPassesOn)
{
    auto action = [](const std::string& script) { return "<action handler=\"python\"><script>" + script + "</script></action>"; };
    EXPECT_EQ(DispatchOnce(Rule(AnyMatch(), action("result = 'lists'")), "Subject: s\r\n"), "lists");
    EXPECT_EQ(DispatchOnce(Rule(AnyMatch(), action("result = ''") + Dispatch("next")), "Subject: s\r\n"), "next");
    EXPECT_EQ(DispatchOnce(Rule(AnyMatch(), action("x = 1")), "Subject: s\r\n"), "None");
}

TEST_F(RuleSetTest, InsertAfterCurrentIsTriedForTheSameMessage)
{
    const std::string templ = Rule(AnyMatch(), Dispatch("inserted"), " id=\"new\"");
    const std::string rules = Rule(AnyMatch(), RulesetAction("insert-after", templ), " id=\"r1\"") +
                              Rule(AnyMatch(), Dispatch("old"), " id=\"r2\"");
    auto ruleSet = Load(rules);
    Quietly([&] { EXPECT_EQ(ruleSet->DispatchMessage(Header("Subject: s\r\n"), nullptr, nullptr), "inserted"); });
}

TEST_F(RuleSetTest, InsertBeforeOrFirstTakesEffectFromTheNextMessage)
{
    for (const char* method : {"insert-before", "insert-first"}) {
        const std::string templ = Rule(AnyMatch(), Dispatch("inserted"));
        const std::string rules = Rule(AnyMatch(), RulesetAction(method, templ), " id=\"r1\" description=\"once\"") +
                                  Rule(AnyMatch(), Dispatch("old"));
        auto ruleSet = Load(rules);
        Quietly([&] {
            EXPECT_EQ(ruleSet->DispatchMessage(Header("Subject: s\r\n"), nullptr, nullptr), "old") << method;
            EXPECT_EQ(ruleSet->DispatchMessage(Header("Subject: s\r\n"), nullptr, nullptr), "inserted") << method;
        });
    }
}

TEST_F(RuleSetTest, InsertLastAndReferencesById)
{
    const std::string templ = Rule(AnyMatch(), Dispatch("inserted"));
    // insert-before r3 puts the new rule ahead of the rule that would take the message.
    const std::string rules = Rule(AnyMatch(), RulesetAction("insert-before", templ, "r3"), " id=\"r1\"") +
                              Rule(RegexMatch("subject", "any", "no"), Dispatch("never"), " id=\"r2\"") +
                              Rule(AnyMatch(), Dispatch("r3"), " id=\"r3\"");
    auto ruleSet = Load(rules);
    Quietly([&] { EXPECT_EQ(ruleSet->DispatchMessage(Header("Subject: s\r\n"), nullptr, nullptr), "inserted"); });

    auto last = Load(Rule(AnyMatch(), RulesetAction("insert-last", templ)));
    Quietly([&] { EXPECT_EQ(last->DispatchMessage(Header("Subject: s\r\n"), nullptr, nullptr), "inserted"); });
}

TEST_F(RuleSetTest, UnknownReferenceFailsTheRule)
{
    std::string log;
    const std::string rules = Rule(AnyMatch(), RulesetAction("insert-before", Rule(AnyMatch(), Dispatch("x")), "r7"));
    EXPECT_EQ(DispatchOnce(rules, "Subject: s\r\n", &log), "spam");
    EXPECT_NE(log.find("insert-before(r7) failed, rule id is not found in the ruleset"), std::string::npos);
}

TEST_F(RuleSetTest, DeleteCurrentFilesAndIsGoneAfterTheSave)
{
    const std::string rules = Rule(AnyMatch(), RulesetAction("delete-current") + Dispatch("junk"), " id=\"gone\"") +
                              Rule(AnyMatch(), Dispatch("kept"), " id=\"kept\"");
    auto ruleSet = Load(rules);
    Quietly([&] {
        EXPECT_EQ(ruleSet->DispatchMessage(Header("Subject: s\r\n"), nullptr, nullptr), "junk");
        EXPECT_EQ(ruleSet->DispatchMessage(Header("Subject: s\r\n"), nullptr, nullptr), "kept");
        ruleSet.reset();
    });
    EXPECT_EQ(SavedRuleCount(), 1u);
    EXPECT_EQ(Saved("/ruleset/rules/rule/@id"), "kept");
    // The first message is counted for the rule the deletion moved the walk to.
    EXPECT_EQ(Saved("/ruleset/rules/rule/@dispatched-messages"), "2");
    EXPECT_EQ(Saved("/ruleset/@dispatched-messages"), "2");
}

TEST_F(RuleSetTest, DeleteCurrentWithoutDecisionContinuesWithTheNextRule)
{
    const std::string rules = Rule(AnyMatch(), RulesetAction("delete-current"), " description=\"self\"") +
                              Rule(AnyMatch(), Dispatch("next"));
    EXPECT_EQ(DispatchOnce(rules, "Subject: s\r\n"), "next");
}

TEST_F(RuleSetTest, MovesOfTheWalk)
{
    // move-end ends the walk: not accepted, spam with the warning.
    std::string log;
    EXPECT_EQ(DispatchOnce(Rule(AnyMatch(), RulesetAction("move-end")) + Rule(AnyMatch(), Dispatch("x")), "S: s\r\n", &log),
              "spam");
    EXPECT_NE(log.find("was not accepted by any rule"), std::string::npos);

    // move-next twice skips the following rule.
    EXPECT_EQ(DispatchOnce(Rule(AnyMatch(), RulesetAction("move-next") + RulesetAction("move-next")) +
                               Rule(AnyMatch(), Dispatch("skipped")) + Rule(AnyMatch(), Dispatch("reached")),
                           "S: s\r\n"),
              "reached");

    // move-first restarts the walk; a rule disabling itself by deletion lets it end.
    EXPECT_EQ(DispatchOnce(Rule(AnyMatch(), Dispatch("first"), " enabled=\"false\"") +
                               Rule(AnyMatch(), RulesetAction("delete-current") + RulesetAction("move-first")) +
                               Rule(AnyMatch(), Dispatch("after")),
                           "S: s\r\n"),
              "after");
}

TEST_F(RuleSetTest, DecisionAfterMoveEndCountsTheRuleThatRan)
{
    const std::string rules = Rule(AnyMatch(), RulesetAction("move-end") + Dispatch("box"), " id=\"mover\"");
    auto ruleSet = Load(rules);
    Quietly([&] {
        EXPECT_EQ(ruleSet->DispatchMessage(Header("S: s\r\n"), nullptr, nullptr), "box");
        ruleSet.reset();
    });
    EXPECT_EQ(Saved("/ruleset/rules/rule/@dispatched-messages"), "1");
}

TEST_F(RuleSetTest, EndlessWalkIsCutAtTheBound)
{
    // The second rule sends the walk back to the first for ever.
    std::string log;
    EXPECT_EQ(DispatchOnce(Rule(AnyMatch(), RulesetAction("move-next")) +
                               Rule(AnyMatch(), RulesetAction("move-first"), " description=\"loop\""),
                           "S: s\r\n", &log),
              "spam");
    EXPECT_NE(log.find("The walk of the rules took more than 10000 rule evaluations"), std::string::npos)
        << log.substr(0, 500);
    EXPECT_NE(log.find("dispatching message to spam mailbox"), std::string::npos);

    // Each pass inserts one more rule at the front and restarts: the list grows without end.
    log.clear();
    EXPECT_EQ(DispatchOnce(Rule(AnyMatch(), RulesetAction("insert-first", Rule(AnyMatch(), RulesetAction("move-next"))) +
                                                RulesetAction("move-first")),
                           "S: s\r\n", &log),
              "spam");
    EXPECT_NE(log.find("took more than 10000 rule evaluations"), std::string::npos);
}

TEST_F(RuleSetTest, TemplateWithMacrosBecomesAConcreteRule)
{
    const std::string templ = Rule(RegexMatch("x-nerra-parsed-from-mailbox", "any", "{{x-nerra-parsed-from-mailbox}}"),
                                   Dispatch("known"),
                                   " id=\"sender-{{x-nerra-parsed-from-mailbox}}\" expires=\"{{x-nerra-expires-one-week}}\""
                                   " apply-header=\"true\"");
    const std::string rules =
        Rule(AnyMatch(), RulesetAction("insert-first", templ) + Dispatch("mail"), " id=\"learn\" apply-header=\"true\"");
    const std::string inWeek = TimeToString(time(nullptr) + 604800);
    auto header = [&](const std::string& text) {
        auto h = Header(text);
        h->AddValue("x-nerra-expires-one-week", inWeek);
        return h;
    };
    auto ruleSet = Load(rules);
    std::string log = Quietly([&] {
        EXPECT_EQ(ruleSet->DispatchMessage(header("From: a.b@h\r\n"), nullptr, nullptr), "mail");
        EXPECT_EQ(ruleSet->DispatchMessage(header("From: a.b@h\r\n"), nullptr, nullptr), "known");
        // The period was escaped: a look-alike sender is not taken for the known one.
        EXPECT_EQ(ruleSet->DispatchMessage(header("From: axb@h\r\n"), nullptr, nullptr), "mail");
        ruleSet.reset();
    });
    EXPECT_EQ(log.find("ERROR"), std::string::npos) << log;
    EXPECT_EQ(SavedRuleCount(), 3u);
    EXPECT_EQ(Saved("/ruleset/rules/rule[2]/@id"), "sender-a.b@h");
    EXPECT_EQ(Saved("/ruleset/rules/rule[2]/@expires"), inWeek);
    EXPECT_EQ(Saved("/ruleset/rules/rule[2]/@apply-header"), "true");
    EXPECT_EQ(Saved("/ruleset/rules/rule[2]/@dispatched-messages"), "1");
    EXPECT_EQ(Saved("/ruleset/rules/rule[2]/matches/match/regexes/regex/@pattern"), "a\\.b@h");
    EXPECT_EQ(Saved("/ruleset/rules/rule[1]/@id"), "sender-axb@h");
    // The stored template keeps its macros.
    EXPECT_EQ(Saved("/ruleset/rules/rule[3]/actions/action/rule/@expires"), "{{x-nerra-expires-one-week}}");
}

TEST_F(RuleSetTest, SaveWritesCountersAndDropsExpiredRules)
{
    const std::string rules = Rule(AnyMatch(), Dispatch("x"), " id=\"old\" expires=\"2000-01-01 00:00:00\"") +
                              Rule(AnyMatch(), Dispatch("inbox"), " id=\"live\" dispatched-messages=\"5\"") +
                              Rule(AnyMatch(), RulesetAction("insert-first", Rule(AnyMatch(), Dispatch("y"),
                                                                                   " expires=\"2001-01-01 00:00:00\"")),
                                   " id=\"expired-template\" enabled=\"false\"");
    WriteRules(rules, 41);
    Quietly([&] {
        CRuleSet ruleSet("alice");
        EXPECT_EQ(ruleSet.DispatchMessage(Header("S: s\r\n"), nullptr, nullptr), "inbox");
    });
    EXPECT_EQ(Saved("/ruleset/@dispatched-messages"), "42");
    EXPECT_EQ(SavedRuleCount(), 2u);
    EXPECT_EQ(Saved("/ruleset/rules/rule[1]/@id"), "live");
    EXPECT_EQ(Saved("/ruleset/rules/rule[1]/@dispatched-messages"), "6");
    // The template expired, so its action is saved without it.
    CXMLDocument saved(RulesPath());
    EXPECT_EQ(CXPathContext(saved).Eval("/ruleset/rules/rule[2]/actions/action/rule").GetNodeCount(), 0u);
    EXPECT_EQ(Saved("/ruleset/rules/rule[2]/actions/action/@method"), "insert-first");
}

TEST_F(RuleSetTest, EmptyExpiryMakesEverySaveFailAndTheFileStays)
{
    const std::string rules = Rule(AnyMatch(), Dispatch("x"), " expires=\"\" enabled=\"false\"") +
                              Rule(AnyMatch(), Dispatch("inbox"));
    WriteRules(rules);
    const std::string before = ReadFile(RulesPath());
    std::string log = Quietly([&] {
        CRuleSet ruleSet("alice");
        ruleSet.DispatchMessage(Header("S: s\r\n"), nullptr, nullptr);
    });
    EXPECT_EQ(ReadFile(RulesPath()), before);
    EXPECT_NE(log.find("ERROR CRuleSet::~CRuleSet(): Invalid date/time value: "), std::string::npos) << log;
}

TEST_F(RuleSetTest, RoundTripKeepsTheRules)
{
    const std::string rules =
        Rule(RegexMatch("from;sender", "all", "a.*\nb"), Dispatch("box"), " id=\"one\" description=\"first &amp; best\"") +
        Rule("<match handler=\"python\"><script>if 1 &gt; 2:\n    result = 'match'</script></match>",
             RulesetAction("insert-after", Rule(AnyMatch(), Dispatch("t")), "one"), " id=\"two\" trainable=\"true\"");
    WriteRules(rules, 3);
    Quietly([&] {
        CRuleSet first("alice");
        first.DispatchMessage(Header("Subject: s\r\n"), nullptr, nullptr);
    });
    const std::string once = ReadFile(RulesPath());
    Quietly([&] { CRuleSet second("alice"); });
    // Loading and saving again without a dispatch changes nothing.
    EXPECT_EQ(ReadFile(RulesPath()), once);
    EXPECT_EQ(Saved("/ruleset/rules/rule[1]/@description"), "first & best");
    EXPECT_EQ(Saved("/ruleset/rules/rule[1]/matches/match/@header-field-name"), "from;sender");
    EXPECT_EQ(Saved("/ruleset/rules/rule[1]/matches/match/@match-mode"), "all");
    EXPECT_EQ(Saved("/ruleset/rules/rule[2]/matches/match/script"), "if 1 > 2:\n    result = 'match'");
    EXPECT_EQ(Saved("/ruleset/rules/rule[2]/actions/action/@reference"), "one");
    EXPECT_EQ(Saved("/ruleset/rules/rule[2]/@trainable"), "true");
}

TEST_F(RuleSetTest, HundredthDispatchOfTheProcessIsLogged)
{
    auto ruleSet = Load(Rule(AnyMatch(), Dispatch("x")));
    std::string log = Quietly([&] {
        for (int i = 0; i < 100; ++i)
            ruleSet->DispatchMessage(Header("S: s\r\n"), nullptr, nullptr);
    });
    EXPECT_NE(log.find("INFO Messages dispatched this run: "), std::string::npos);
}

TEST_F(RuleSetTest, TheDemoRuleSetLoadsAndFiles)
{
    std::filesystem::copy_file(std::string(NERRA_SOURCE_DIR) + "/examples/mail/demo/ruleset.xml", RulesPath(),
                               std::filesystem::copy_options::overwrite_existing);
    Quietly([&] {
        CRuleSet ruleSet("alice");
        auto header = [](const std::string& text) {
            auto h = std::make_shared<CMessageHeader>(text);
            h->AddValue("x-nerra-expires-never", "2037-12-31 23:59:59");
            return h;
        };
        EXPECT_EQ(ruleSet.DispatchMessage(header("List-Id: <dev.lists.example.org>\r\n"), nullptr, nullptr), "lists");
        EXPECT_EQ(ruleSet.DispatchMessage(header("From: Bob <bob@mail.example.com>\r\n"), nullptr, nullptr), "work");
        EXPECT_EQ(ruleSet.DispatchMessage(header("From: x@y.z\r\nSubject: You are a WINNER\r\n"), nullptr, nullptr), "spam");
        EXPECT_EQ(ruleSet.DispatchMessage(header("From: x@y.z\r\nSubject: hello\r\n"), nullptr, nullptr), "mail");
    });
    CXMLDocument saved(RulesPath());
    saved.Validate(m_Dir / "alice/ruleset.xsd");
    EXPECT_EQ(CXPathContext(saved).Eval("/ruleset/@dispatched-messages").GetText(), "4");
}
