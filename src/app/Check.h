#pragma once

#include <string>

namespace Nerra {

// The check sub-command: reads the configuration (every setting present and valid), then
// every user under the mail directory: user.xml and its authentication element, ruleset.xml
// against its schema, every pattern and script compiled, every mailbox that a dispatch
// action names present. Prints one line per problem, "<file>: <what is wrong>", then a
// summary; returns 0 when nothing is wrong, 1 otherwise. Nothing is written.
int RunCheck(const std::string& configPath);

}  // namespace Nerra
