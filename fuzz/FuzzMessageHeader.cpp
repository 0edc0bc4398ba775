// Feeds arbitrary bytes to the message header: unfolding, field splitting, the parsed twins
// and the mailbox walk, then macro expansion and the script dictionary over the result.
// The header logs every malformed line: run it with -close_fd_mask=2 to keep the log out of
// the fuzzer's output.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "message/CMessageHeader.h"
#include "rules/CPython.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    Nerra::CMessageHeader header(text);

    // Every field that came from the message has its parsed twin.
    for (const std::string& name : {"from", "to", "cc", "subject", "x-nerra-quoted-header"}) {
        const unsigned count = header.GetValueCount(name);
        if (name != "x-nerra-quoted-header" && header.GetValueCount("x-nerra-parsed-" + name) != count)
            std::abort();
    }
    try {
        header.Apply(text);
    } catch (const std::exception&) {
        // Mismatched or nested macros are refused; anything else escaping would be a fault.
    }
    Nerra::CScriptDictionary dictionary;
    header.DumpToPythonDictionary(dictionary);
    return 0;
}
