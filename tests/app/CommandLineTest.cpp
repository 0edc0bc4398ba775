#include <gtest/gtest.h>

#include <tuple>

#include "app/CommandLine.h"

using namespace Nerra;

namespace {

using Action = CommandLine::Action;

struct Case {
    std::vector<std::string> arguments;
    Action action;
    std::string configPath;
    bool console;
    std::string hashMethod;
};

}  // namespace

TEST(CommandLine, ActionsAndTheirArguments)
{
    const Case cases[] = {
        {{}, Action::RunService, "config.xml", true, "argon2id"},
        {{"my.xml"}, Action::RunService, "my.xml", true, "argon2id"},
        {{"--no-console"}, Action::RunService, "config.xml", false, "argon2id"},
        {{"--no-console", "my.xml"}, Action::RunService, "my.xml", false, "argon2id"},
        {{"my.xml", "--no-console"}, Action::RunService, "my.xml", false, "argon2id"},
        {{"-"}, Action::RunService, "-", true, "argon2id"},
        {{"--help"}, Action::Help, "config.xml", true, "argon2id"},
        {{"my.xml", "--version"}, Action::Version, "my.xml", true, "argon2id"},
        {{"hash-password"}, Action::HashPassword, "config.xml", true, "argon2id"},
        {{"hash-password", "--method", "sha1"}, Action::HashPassword, "config.xml", true, "sha1"},
        {{"hash-password", "--method=argon2id"}, Action::HashPassword, "config.xml", true, "argon2id"},
        {{"hash-password", "--help"}, Action::Help, "config.xml", true, "argon2id"},
        {{"./hash-password"}, Action::RunService, "./hash-password", true, "argon2id"},
    };
    for (const Case& c : cases) {
        const CommandLine line = ParseCommandLine(c.arguments);
        const std::string shown = testing::PrintToString(c.arguments);
        EXPECT_EQ(line.action, c.action) << shown << line.error;
        EXPECT_EQ(line.configPath, c.configPath) << shown;
        EXPECT_EQ(line.console, c.console) << shown;
        EXPECT_EQ(line.hashMethod, c.hashMethod) << shown;
    }
}

TEST(CommandLine, ExplainAndCheckTakeTheirConfigurationAndOperands)
{
    CommandLine line = ParseCommandLine({"explain", "--json", "alice", "--config", "c.xml", "m.eml", "--header-only"});
    EXPECT_EQ(line.action, Action::Explain) << line.error;
    EXPECT_EQ(std::make_tuple(line.configPath, line.user, line.messagePath, line.json, line.headerOnly),
              std::make_tuple(std::string("c.xml"), std::string("alice"), std::string("m.eml"), true, true));
    line = ParseCommandLine({"check", "--config=c.xml"});
    EXPECT_EQ(std::make_tuple(line.action, line.configPath), std::make_tuple(Action::Check, std::string("c.xml")));
    EXPECT_EQ(ParseCommandLine({"check"}).configPath, "config.xml");
    EXPECT_EQ(ParseCommandLine({"explain", "--help"}).action, Action::Help);
}

TEST(CommandLine, MistakesAreUsageErrorsThatSayWhatIsWrong)
{
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"--console"}, "unknown option '--console'"},
        {{"-h"}, "unknown option '-h'"},
        {{"a.xml", "b.xml"}, "unexpected argument 'b.xml' after the configuration file"},
        {{"hash-password", "--method", "md5"}, "hash-password: unknown method 'md5', use argon2id or sha1"},
        {{"hash-password", "--method=SHA1"}, "hash-password: unknown method 'SHA1', use argon2id or sha1"},
        {{"hash-password", "--method"}, "hash-password: --method needs a value, argon2id or sha1"},
        {{"hash-password", "secret"}, "hash-password: unexpected argument 'secret'"},
        {{"explain", "alice"}, "explain: needs USER and MESSAGE-FILE"},
        {{"explain", "--config"}, "explain: --config needs a file"},
        {{"explain", "--no-console", "a", "m"}, "explain: unknown option '--no-console'"},
        {{"check", "--json"}, "check: unknown option '--json'"},
        {{"check", "alice"}, "check: unexpected argument 'alice'"},
    };
    for (const auto& [arguments, error] : cases) {
        const CommandLine line = ParseCommandLine(arguments);
        EXPECT_EQ(line.action, Action::UsageError) << testing::PrintToString(arguments);
        EXPECT_EQ(line.error, error);
    }
}
