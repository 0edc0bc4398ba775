// Feeds arbitrary header values to the address parser under each kind of field and walks
// the tokens of every canonical form it returns.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "message/AddressParser.h"

namespace {

// Plain text never holds a parenthesis, so the brackets of a canonical form must pair up;
// FetchToken relies on that to find tokens.
bool BracketsPairUp(const std::string& canonical)
{
    long depth = 0;
    for (char c : canonical) {
        depth += c == '(' ? 1 : c == ')' ? -1 : 0;
        if (depth < 0)
            return false;
    }
    return depth == 0;
}

void WalkTokens(const std::string& canonical, const char* marker)
{
    std::string source = canonical;
    while (!source.empty()) {
        size_t before = source.size();
        Nerra::FetchToken(source, marker);
        if (source.size() >= before)
            abort();  // a walk that does not shrink its source never ends
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // Cut at the first NUL: a NUL only ever ends an address parse, so inputs without one
    // keep the fuzzer's effort on the grammar.
    const char* bytes = reinterpret_cast<const char*>(data);
    std::string value(bytes, strnlen(bytes, size));

    for (const char* name : {"from", "sender", "to", "subject"}) {
        bool failed = false;
        std::string canonical = Nerra::ParseCanonical(name, value, failed);
        if (failed) {
            if (canonical.empty() || strcmp(name, "subject") == 0)
                abort();  // every failure has a reason, and other fields never fail
            continue;
        }
        if (!BracketsPairUp(canonical))
            abort();
        for (const char* marker : {"address", "group", "mailbox", "display-name", "local-part", "domain"})
            WalkTokens(canonical, marker);
    }
    return 0;
}
