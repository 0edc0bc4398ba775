#include "app/CommandLine.h"

namespace Nerra {

namespace {

CommandLine UsageError(const std::string& error)
{
    CommandLine result;
    result.action = CommandLine::Action::UsageError;
    result.error = error;
    return result;
}

bool IsOption(const std::string& argument) { return argument.size() > 1 && argument[0] == '-'; }

CommandLine ParseHashPassword(const std::vector<std::string>& arguments)
{
    CommandLine result;
    result.action = CommandLine::Action::HashPassword;
    for (size_t i = 1; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (argument == "--help") {
            result.action = CommandLine::Action::Help;
            return result;
        }
        if (argument == "--method" && i + 1 == arguments.size())
            return UsageError("hash-password: --method needs a value, argon2id or sha1");
        if (argument == "--method")
            result.hashMethod = arguments[++i];
        else if (argument.compare(0, 9, "--method=") == 0)
            result.hashMethod = argument.substr(9);
        else
            return UsageError("hash-password: unexpected argument '" + argument + "'");
        if (result.hashMethod != "argon2id" && result.hashMethod != "sha1")
            return UsageError("hash-password: unknown method '" + result.hashMethod + "', use argon2id or sha1");
    }
    return result;
}

// explain and check: --config FILE anywhere, and explain's flags and two operands.
CommandLine ParseTool(const std::vector<std::string>& arguments, CommandLine::Action action)
{
    const std::string tool = arguments[0];
    CommandLine result;
    result.action = action;
    std::vector<std::string> operands;
    for (size_t i = 1; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (argument == "--help") {
            result.action = CommandLine::Action::Help;
            return result;
        }
        if (argument == "--config" && i + 1 == arguments.size())
            return UsageError(tool + ": --config needs a file");
        if (argument == "--config")
            result.configPath = arguments[++i];
        else if (argument.compare(0, 9, "--config=") == 0)
            result.configPath = argument.substr(9);
        else if (action == CommandLine::Action::Explain && argument == "--json")
            result.json = true;
        else if (action == CommandLine::Action::Explain && argument == "--header-only")
            result.headerOnly = true;
        else if (IsOption(argument))
            return UsageError(tool + ": unknown option '" + argument + "'");
        else
            operands.push_back(argument);
    }
    const size_t wanted = action == CommandLine::Action::Explain ? 2 : 0;
    if (operands.size() != wanted)
        return UsageError(action == CommandLine::Action::Explain ? "explain: needs USER and MESSAGE-FILE"
                                                                 : "check: unexpected argument '" + operands[0] + "'");
    if (wanted == 2) {
        result.user = operands[0];
        result.messagePath = operands[1];
    }
    return result;
}

}  // namespace

CommandLine ParseCommandLine(const std::vector<std::string>& arguments)
{
    if (!arguments.empty() && arguments[0] == "hash-password")
        return ParseHashPassword(arguments);
    if (!arguments.empty() && arguments[0] == "explain")
        return ParseTool(arguments, CommandLine::Action::Explain);
    if (!arguments.empty() && arguments[0] == "check")
        return ParseTool(arguments, CommandLine::Action::Check);
    CommandLine result;
    bool configGiven = false;
    for (const std::string& argument : arguments) {
        if (argument == "--help") {
            result.action = CommandLine::Action::Help;
            return result;
        }
        if (argument == "--version") {
            result.action = CommandLine::Action::Version;
            return result;
        }
        if (argument == "--no-console") {
            result.console = false;
        } else if (IsOption(argument)) {
            return UsageError("unknown option '" + argument + "'");
        } else if (configGiven) {
            return UsageError("unexpected argument '" + argument + "' after the configuration file");
        } else {
            result.configPath = argument;
            configGiven = true;
        }
    }
    return result;
}

std::string UsageText()
{
    return "Usage: nerra-mail-filter [--no-console] [CONFIG]\n"
           "       nerra-mail-filter hash-password [--method argon2id|sha1]\n"
           "       nerra-mail-filter explain [--config FILE] [--json] [--header-only] USER MESSAGE-FILE\n"
           "       nerra-mail-filter check [--config FILE]\n"
           "       nerra-mail-filter --help | --version\n"
           "\n"
           "Fetches, filters and files the mail of every user under the mail directory of CONFIG\n"
           "(config.xml in the working directory when none is given) and serves the mailboxes\n"
           "over POP3.\n"
           "\n"
           "  (no option)     console mode: commands on standard input, replies on standard\n"
           "                  output, the log on standard error; the end of input stops it\n"
           "  --no-console    service mode: standard input is not read; SIGTERM or SIGINT\n"
           "                  stops the service, SIGHUP saves and unloads the cached rule sets\n"
           "  hash-password   reads a password from standard input and prints the\n"
           "                  <authentication> element of user.xml that accepts it\n"
           "                  (method argon2id unless --method sha1 is given)\n"
           "  explain         shows, rule by rule, how USER's rule set decides MESSAGE-FILE,\n"
           "                  as the service would, and changes nothing; --json prints one\n"
           "                  JSON document, --header-only decides on the header alone as\n"
           "                  the first pass of a fetch does\n"
           "  check           checks the configuration and every user's user.xml and\n"
           "                  ruleset.xml; one line per problem, exit status 1 if any\n"
           "  --config FILE   the configuration of explain and check (config.xml)\n"
           "  --help          prints this text\n"
           "  --version       prints the product name and version\n";
}

}  // namespace Nerra
