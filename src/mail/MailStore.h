#pragma once

#include <string>

namespace Nerra {

// Where a user's mail lives: <mail-directory>/<user>, and its mailboxes and queues below.
std::string UserDirectory(const std::string& userName);
std::string MailBoxDirectory(const std::string& userName, const std::string& mailBox);

// True when the path, symbolic links followed, stays inside the mail directory, or leads
// nowhere yet (whatever uses it then fails as for a missing directory). A user directory,
// queue or mailbox that leads elsewhere is refused, with a WARNING once per path: the
// service runs as root, and a link out of the mail store would let it file mail, serve
// files or delete them anywhere on the host.
bool IsInsideMailDirectory(const std::string& path);

}  // namespace Nerra
