#pragma once

#include <string>

namespace Nerra {

// Jobs of the timer thread; each takes the text argument of its timer record.

// Feeds the files dropped into every user's .spool into message processing.
void TimerCallback_SpoolMessages(const std::string& argument);
// Saves and unloads every cached rule set that no message is using at the moment (those are
// saved at a later run); each is read again at its next use.
void TimerCallback_FlushRuleSets(const std::string& argument);

}  // namespace Nerra
