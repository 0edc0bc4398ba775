#pragma once

#include <string>

namespace Nerra {

// The text of a header value with its encoded words ("=?charset?B?...?=" and
// "=?charset?Q?...?=") turned into UTF-8, so that rules can match non-English subjects
// and names as they read. Any charset iconv knows is accepted; a word that does not
// decode (unknown charset, broken encoding, bytes the charset does not have) stays as it
// was. White space between two decoded words is dropped, since a mailer splits one long
// text into several words that way. Text outside encoded words is copied unchanged.
std::string DecodeEncodedWords(const std::string& text);

}  // namespace Nerra
