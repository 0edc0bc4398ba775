#pragma once

#include <string>

namespace Nerra {

// The canonical form of a header value, stored beside every field as its parsed twin so
// that rules can match a clean address whatever the sender's formatting.
//
// Address fields become their parse tree written as nested, named tokens, with comments,
// quotes and folding gone:
//     from      "mailbox-list(" mailbox... ")"
//     sender    "mailbox(" ["display-name(" phrase ")"] "local-part(" text ")" "domain(" text ")" ")"
//     reply-to, to, cc
//               "address-list(" ("address(" (mailbox | "group(" display-name [mailbox-list] ")") ")")... ")"
// Any other field keeps its value. Either way every "(" and ")" copied from the value turns
// into "{" and "}", so the brackets of the result always pair up.
//
// A value that does not parse sets `failed` and returns the reason, which ends with the
// rest of the value where the parse stopped; nothing is thrown for it. An empty value gives
// empty text. A NUL byte belongs to no character class, so a value holding one never parses
// as an address.
std::string ParseCanonical(const std::string& name, const std::string& value, bool& failed);

// The content of the first token named `marker` (without its bracket, e.g. "mailbox") in a
// canonical form, at any depth. `source` is cut to the text after that token, so repeated
// calls walk every such token in order. When there is no complete token left, the result is
// empty and so is `source`.
std::string FetchToken(std::string& source, const std::string& marker);

}  // namespace Nerra
