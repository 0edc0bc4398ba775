#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "mail/CPOP3MessageEncoder.h"

namespace Nerra {

// A message of an open mailbox as a POP3 session shows it.
struct CPOP3MessageEntry {
    std::string uid;    // stable across sessions, 1 to 70 characters from '!' to '~'
    uint64_t size = 0;  // octets as sent: CR LF line ends, before dot-stuffing
};

// A mailbox that a POP3 session holds for itself: no other session opens it until this
// object is destroyed. Its messages are fixed when it is opened, oldest first.
class CPOP3Maildrop {
public:
    virtual ~CPOP3Maildrop() = default;
    virtual const std::vector<CPOP3MessageEntry>& GetMessages() const = 0;
    // The text of a message by its index in GetMessages; fails when it cannot be read.
    virtual std::unique_ptr<CPOP3MessageReader> Open(size_t index) = 0;
    // Removes the messages; returns how many could not be removed.
    virtual size_t Remove(const std::vector<size_t>& indexes) = 0;
};

// A login as the client gave it: "user" or "user/mailbox" and the password.
struct CPOP3Credentials {
    std::string user;
    std::string mailbox;
    std::string password;
};

// How a login check ended; only Accepted comes with a mailbox.
enum class EPOP3Login {
    Accepted,
    Refused,      // unknown user, wrong password, or an account without a POP3 password
    InUse,        // another session holds the mailbox
    NoMailbox,    // the mailbox does not exist, or leads out of the mail store
    AccountBusy,  // the account is being changed and stayed locked too long
    AccountBroken,  // the account's password element cannot be used
    Failed        // the mailbox could not be read
};

struct CPOP3LoginOutcome {
    EPOP3Login result = EPOP3Login::Failed;
    std::unique_ptr<CPOP3Maildrop> maildrop;
};

}  // namespace Nerra
