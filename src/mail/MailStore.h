#pragma once

#include <string>
#include <vector>

#include "core/CFile.h"

namespace Nerra {

// The one place that knows how the mail directory is laid out:
//   <mail-directory>/<user>/            a user: 1 to 32 word characters
//     user.xml, ruleset.xml, ruleset.xsd
//     .spool/  files dropped here are filtered on the next spooling run
//     .raw/    messages being fetched (<name>.part until whole) or filtered (<name>.msg)
//     <mailbox>/<id>.msg, <mailbox>/.lock while a POP3 session holds it
std::string MailRoot();
// The user directories under the mail root, by name; other entries are not users.
std::vector<CDirInfo> ListUsers();

std::string UserDirectory(const std::string& userName);
std::string MailBoxDirectory(const std::string& userName, const std::string& mailBox);
std::string SpoolDirectory(const std::string& userDirectory);
std::string RawDirectory(const std::string& userDirectory);
std::string RuleSetPath(const std::string& userName);
std::string RuleSetSchemaPath(const std::string& userName);
std::string MailBoxLockPath(const std::string& mailBoxDirectory);

// The name a message is filed under in a mailbox, from its id.
std::string MessageFileName(const std::string& messageId);
// A fresh name for a message taken into .raw: its time stamp and a random number.
std::string NewRawFileName();
// The mailbox that takes what no rule takes, and what cannot go where a rule said.
constexpr const char* SPAM_MAILBOX = "spam";

// True when the path, symbolic links followed, stays inside the mail directory, or leads
// nowhere yet (whatever uses it then fails as for a missing directory). A user directory,
// queue or mailbox that leads elsewhere is refused, with a WARNING once per path: the
// service runs as root, and a link out of the mail store would let it file mail, serve
// files or delete them anywhere on the host.
bool IsInsideMailDirectory(const std::string& path);

}  // namespace Nerra
