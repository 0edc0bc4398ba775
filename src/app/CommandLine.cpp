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

}  // namespace

CommandLine ParseCommandLine(const std::vector<std::string>& arguments)
{
    if (!arguments.empty() && arguments[0] == "hash-password")
        return ParseHashPassword(arguments);
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
           "  --help          prints this text\n"
           "  --version       prints the product name and version\n";
}

}  // namespace Nerra
