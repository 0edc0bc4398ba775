#pragma once

// A scratch mail directory holding one user with a rule set written by the test.

#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "TestUtil.h"
#include "core/CConfig.h"
#include "message/CMessageHeader.h"
#include "rules/CRuleSet.h"

namespace NerraTest {

// A rule element with the given matches and actions; attributes default to an enabled,
// never-expiring rule.
inline std::string Rule(const std::string& matches, const std::string& actions, const std::string& attributes = "")
{
    std::string attrs = attributes;
    auto add = [&](const char* name, const char* value) {
        if (attrs.find(std::string(name) + "=") == std::string::npos)
            attrs += std::string(" ") + name + "=\"" + value + "\"";
    };
    add("description", "a rule");
    add("expires", "2037-12-31 23:59:59");
    add("enabled", "true");
    add("apply-header", "false");
    add("dispatched-messages", "0");
    add("trainable", "false");
    add("id", "");
    return "<rule" + attrs + "><matches>" + matches + "</matches><actions>" + actions + "</actions></rule>";
}

inline std::string RegexMatch(const std::string& fields, const std::string& mode, const std::string& patterns)
{
    std::string regexes;
    size_t from = 0;
    while (from <= patterns.size() && !patterns.empty()) {
        size_t bar = patterns.find('\n', from);
        if (bar == std::string::npos)
            bar = patterns.size();
        regexes += "<regex pattern=\"" + patterns.substr(from, bar - from) + "\"/>";
        from = bar + 1;
    }
    return "<match handler=\"regex\" header-field-name=\"" + fields + "\" match-mode=\"" + mode + "\"><regexes>" +
           regexes + "</regexes></match>";
}

inline std::string Dispatch(const std::string& mailbox)
{
    return "<action handler=\"dispatch\" mailbox=\"" + mailbox + "\"/>";
}

inline std::string AnyMatch() { return "<match handler=\"any\"/>"; }

class RuleSetFixture : public testing::Test {
protected:
    void SetUp() override
    {
        std::filesystem::create_directories(m_Dir / "alice");
        std::filesystem::copy_file(std::string(NERRA_SOURCE_DIR) + "/examples/mail/demo/ruleset.xsd",
                                   SchemaPath());
        Nerra::CConfig::Instance().SetValue("mail-directory", m_Dir.Path());
    }

    std::string RulesPath() const { return m_Dir / "alice/ruleset.xml"; }
    std::string SchemaPath() const { return m_Dir / "alice/ruleset.xsd"; }

    void WriteRules(const std::string& rules, int dispatched = 0)
    {
        WriteFile(RulesPath(), "<?xml version=\"1.0\"?><ruleset dispatched-messages=\"" + std::to_string(dispatched) +
                                   "\"><rules>" + rules + "</rules></ruleset>");
    }

    std::unique_ptr<Nerra::CRuleSet> Load(const std::string& rules)
    {
        WriteRules(rules);
        return std::make_unique<Nerra::CRuleSet>("alice", RulesPath(), SchemaPath());
    }

    // The failure message of loading the rules.
    std::string LoadFailure(const std::string& rules)
    {
        WriteRules(rules);
        std::string message = "(loaded)";
        Quietly([&] {
            try {
                Nerra::CRuleSet ruleSet("alice", RulesPath(), SchemaPath());
            } catch (const std::exception& e) {
                message = e.what();
            }
        });
        return message;
    }

    static std::shared_ptr<Nerra::CMessageHeader> Header(const std::string& text)
    {
        return std::make_shared<Nerra::CMessageHeader>(text);
    }

    TempDir m_Dir;
};

}  // namespace NerraTest
