#pragma once

#include <string>

namespace Nerra {

// The <authentication> element of user.xml that accepts `password`, hashed by `method`
// ("argon2id" or "sha1") with a fresh salt from the system's random source.
std::string AuthenticationElement(const std::string& method, const std::string& password);

// The hash-password sub-command: reads the password from standard input (asked twice and
// not echoed when that is a terminal) and prints its element on standard output. Returns
// the exit status.
int RunHashPassword(const std::string& method);

}  // namespace Nerra
