#pragma once

#include <string>
#include <vector>

namespace Nerra {

// What the process is asked to do, read from its arguments before anything starts:
//     nerra-mail-filter [--no-console] [CONFIG]
//     nerra-mail-filter hash-password [--method argon2id|sha1]
//     nerra-mail-filter explain [--config FILE] [--json] [--header-only] USER MESSAGE-FILE
//     nerra-mail-filter check [--config FILE]
//     nerra-mail-filter --help | --version
struct CommandLine {
    enum class Action { RunService, HashPassword, Explain, Check, Help, Version, UsageError };

    Action action = Action::RunService;
    std::string configPath = "config.xml";
    // Off with --no-console: no commands on standard input, signals control the service.
    bool console = true;
    std::string hashMethod = "argon2id";
    // explain: whose rules, which message, how to print, and whether to decide on the
    // header alone as a fetch's first pass does.
    std::string user;
    std::string messagePath;
    bool json = false;
    bool headerOnly = false;
    std::string error;  // what is wrong, for UsageError
};

// `arguments` are those after the program name.
CommandLine ParseCommandLine(const std::vector<std::string>& arguments);

// The text --help prints.
std::string UsageText();

}  // namespace Nerra
