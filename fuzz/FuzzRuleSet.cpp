// Loads arbitrary bytes as alice's ruleset.xml. A rule set that loads walks a message's header
// (unless it holds scripts: a fuzzed script could do anything to the machine) and is saved
// as the service saves it; what was saved must load again and save the same way.
// Run it with -close_fd_mask=2: refused rule sets are logged.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "FuzzMailStore.h"
#include "mail/CUserXML.h"
#include "message/CMessageHeader.h"
#include "rules/CRuleSet.h"

namespace {

const char* const HEADER =
    "From: \"Sender, A.\" <sender@lists.example.com>\r\nTo: alice@example.com, bob@example.net\r\n"
    "Cc: undisclosed-recipients:;\r\nSubject: work plan {{x-nerra-username}}\r\n"
    "Message-ID: <1@example.com>\r\n\r\n";

std::string ReadRules(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

bool HasScripts(const std::string& path)
{
    Nerra::CXMLDocument document(path);
    return Nerra::CXPathContext(document).Eval("//*[@handler='python']").GetNodeCount() > 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string path = NerraFuzz::CMailStore::Instance().User() + "/ruleset.xml";
    NerraFuzz::WriteFile(path, std::string(reinterpret_cast<const char*>(data), size));
    {
        std::unique_ptr<Nerra::CRuleSet> rules;
        try {
            rules = std::make_unique<Nerra::CRuleSet>("alice", path, NerraFuzz::CMailStore::Instance().User() + "/ruleset.xsd");
        } catch (const std::exception&) {
            return 0;  // refused: the file stays as it was
        }
        if (!HasScripts(path)) {
            rules->DispatchMessage(std::make_shared<Nerra::CMessageHeader>(HEADER), nullptr);
        }
    }
    // A save that fails (an expiry the service cannot read makes every save fail) leaves the
    // file as it was, which loads.
    const std::string saved = ReadRules(path);
    try {
        Nerra::CRuleSet again("alice", path, NerraFuzz::CMailStore::Instance().User() + "/ruleset.xsd");
    } catch (const std::exception&) {
        abort();  // the service saved a rule set it cannot load
    }
    if (ReadRules(path) != saved)
        abort();  // a second save changed what the first one wrote
    return 0;
}
