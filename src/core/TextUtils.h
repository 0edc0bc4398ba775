#pragma once

#include <cstdint>
#include <ctime>
#include <string>

#include <boost/regex.hpp>

#include "core/CMessageException.h"

namespace Nerra {

// Shared validation patterns, compiled once and read by every thread.
extern const boost::regex WordPattern;         // user and directory names
extern const boost::regex UserMailboxPattern;  // POP3 "user" or "user/mailbox"
extern const boost::regex PrintablePattern;    // POP3 passwords
extern const boost::regex Digits8Pattern;      // POP3 message numbers
extern const boost::regex Digits10Pattern;     // numbers read from XML and POP3
extern const boost::regex Sha1HexPattern;      // stored password hashes
extern const boost::regex DateTimePattern;     // "%Y-%m-%d %H:%M:%S", years 2000 to 2037
extern const boost::regex ParamNamePattern;    // configuration setting names

// True when the pattern covers the whole text, not merely a part of it.
bool MatchesWhole(const std::string& text, const boost::regex& pattern);

std::string Replace(const std::string& text, const std::string& search, const std::string& replacement);
std::string Trim(const std::string& text);
std::string ToLower(std::string text);
std::string ToUpper(std::string text);
// Control bytes 1 to 31 become spaces; with `all` false, tab, LF and CR stay.
std::string ReplaceControlCharacters(std::string text, bool all);
// Lines from outside are cut to 2048 bytes (with a WARNING) before they meet a pattern.
std::string ValidateRegexedLine(const std::string& line);

// Escapes for header values substituted into patterns and script string literals.
std::string EscapeRegex(const std::string& text);
std::string EscapePython(const std::string& text);

// Local time as "%Y-%m-%d %H:%M:%S", and back (throws on text the pattern refuses).
std::string TimeToString(time_t value);
time_t StringToTime(const std::string& text);
// The current local time as 17 digits "YYYYMMDDhhmmssmmm", used to name message files.
std::string LocalTimeStamp();

// Invalid Base64 decodes to the empty string.
std::string DecodeBASE64(const std::string& text);
std::string Sha1Hex(const void* data, size_t length);
// Whether a given secret equals a stored one, in a time that tells nothing of where they
// differ or of the stored one's length.
bool EqualInConstantTime(const std::string& a, const std::string& b);
// 16 upper-case hex digits folded from the SHA-1 digest.
std::string ShortHash(const void* data, size_t length);

// Per-thread pseudo-random generator: 0..32767 per draw, seeded at thread start.
void SeedThreadRandom(unsigned seed);
int ThreadRand();
// 32 bits from three draws; with a non-zero modulus, reduced modulo it.
uint32_t Random32(uint32_t modulus);

// A random version-4 UUID in lower-case hex with hyphens.
std::string RandomUuid();

// Microseconds since the process started, on a monotonic clock.
uint64_t GetElapsedMicroseconds();

}  // namespace Nerra
