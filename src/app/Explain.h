#pragma once

#include <string>

namespace Nerra {

struct CDispatchTrace;

// The explain sub-command: loads the configuration, the user's account and a read-only copy
// of the user's rule set, dispatches the message file through it as the service would, and
// prints the trace on standard output (as text, or as one JSON document). Nothing is saved,
// moved or locked, so it may run beside the service. Returns the exit status: 0 once the
// trace is printed, 1 when the configuration, user or message cannot be read.
int RunExplain(const std::string& configPath, const std::string& user, const std::string& messagePath, bool json,
               bool headerOnly);

// The printed forms of a trace; `filedInto` is the mailbox directory that would receive the
// message, empty when it would be deleted or decided again.
std::string TraceText(const CDispatchTrace& trace, const std::string& filedInto, const std::string& filingNote);
std::string TraceJson(const CDispatchTrace& trace, const std::string& user, const std::string& messagePath,
                      bool headerOnly, const std::string& filedInto, const std::string& filingNote);

}  // namespace Nerra
