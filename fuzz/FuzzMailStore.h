#pragma once

// The scratch mail directory of the fuzz targets: user "alice" with the POP3 password
// "secret", the demo's rule-set schema and the mailboxes the rules below name. Made once per
// process and removed at exit.

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "core/CConfig.h"
#include "core/CXMLDocument.h"
#include "core/TextUtils.h"

#ifndef NERRA_SOURCE_DIR
#error "NERRA_SOURCE_DIR names the source tree, for the rule-set schema"
#endif

namespace NerraFuzz {

// Messages with a sender go to "inbox", the rest to "mail": nothing is deleted, so every
// message a fetch takes off the server must turn up in a mailbox.
const char* const DEFAULT_RULES =
    "<?xml version=\"1.0\"?><ruleset dispatched-messages=\"0\"><rules>"
    "<rule description=\"senders\" expires=\"2037-12-31 23:59:59\" apply-header=\"false\" enabled=\"true\" "
    "dispatched-messages=\"0\" id=\"senders\" trainable=\"false\"><matches>"
    "<match handler=\"regex\" header-field-name=\"from\" match-mode=\"any\"><regexes><regex pattern=\".+\"/>"
    "</regexes></match></matches><actions><action handler=\"dispatch\" mailbox=\"inbox\"/></actions></rule>"
    "<rule description=\"rest\" expires=\"{{x-nerra-expires-never}}\" apply-header=\"false\" enabled=\"true\" "
    "dispatched-messages=\"0\" id=\"rest\" trainable=\"false\"><matches><match handler=\"any\"/></matches>"
    "<actions><action handler=\"dispatch\" mailbox=\"mail\"/></actions></rule>"
    "</rules></ruleset>\n";

inline void WriteFile(const std::string& path, const std::string& content)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

class CMailStore {
public:
    static CMailStore& Instance()
    {
        static CMailStore store;
        return store;
    }

    const std::string& Root() const { return m_Root; }
    std::string User() const { return m_Root + "/alice"; }

private:
    CMailStore()
    {
        // Saves flush to disk: in memory they cost the fuzzer far less.
        std::string pattern = std::filesystem::is_directory("/dev/shm") ? "/dev/shm/nerra-fuzz-XXXXXX"
                                                                         : "/tmp/nerra-fuzz-XXXXXX";
        m_Root = mkdtemp(&pattern[0]);
        for (const char* box : {".raw", ".spool", "mail", "spam", "inbox"})
            std::filesystem::create_directories(User() + "/" + box);
        std::filesystem::copy_file(std::string(NERRA_SOURCE_DIR) + "/examples/mail/demo/ruleset.xsd",
                                   User() + "/ruleset.xsd");
        WriteFile(User() + "/user.xml",
                  "<user><pop3-server><authentication handler=\"plaintext\" password=\"secret\"/></pop3-server>"
                  "</user>");
        WriteFile(User() + "/ruleset.xml", DEFAULT_RULES);
        Nerra::XMLInit();
        Nerra::CConfig& config = Nerra::CConfig::Instance();
        config.SetValue("mail-directory", m_Root);
        config.SetValue("product-name", "Nerra Mail Filter");
        config.SetValue("version", "1.4 fuzz");
        config.SetValue("pop3-messages-per-sync", "3");
        config.SetValue("pop3-messages-per-session", "100");
        config.SetValue("pop3-connection-attempt-timeout-sec", "30");
        config.SetValue("outgoing-connection-timeout-sec", "60");
    }
    ~CMailStore()
    {
        std::error_code ignored;
        std::filesystem::remove_all(m_Root, ignored);
    }

    std::string m_Root;
};

}  // namespace NerraFuzz
