#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "core/CFile.h"

namespace Nerra {

// Timer jobs that fetch the users' mail from their remote POP3 servers.

// Spreads one fetch of every user over the mail interval, in a new random order each time.
void TimerCallback_RescanUsers(const std::string& argument);
// Starts one fetch connection for each remote mailbox of the user the argument names.
void TimerCallback_InitiateUserPOP3Session(const std::string& argument);

// The user directories among the listed ones, in the order given, each with the delay in
// seconds after which its fetch is due: the interval is cut into one slice more than there
// are listed directories, counting those that are not users.
std::vector<std::pair<std::string, int32_t>> PlanUserFetches(const std::vector<CDirInfo>& directories, long intervalSeconds);

}  // namespace Nerra
