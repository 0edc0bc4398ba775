#pragma once

#include <memory>
#include <string>
#include <vector>

#include "core/CFile.h"
#include "mail/CPOP3Maildrop.h"

namespace Nerra {

// A mailbox directory of the mail store held by one POP3 session through its `.lock` file,
// which is removed again when the object is destroyed. Its messages are the regular `*.msg`
// files, oldest first; the unique id of each is its file name without `.msg`.
class CPOP3StoreMaildrop : public CPOP3Maildrop {
public:
    // Locks and lists the directory: InUse while another session holds it, NoMailbox when it
    // is missing or leads out of the mail store, Failed when it cannot be listed.
    static CPOP3LoginOutcome Open(const std::string& directory);

    const std::vector<CPOP3MessageEntry>& GetMessages() const override { return m_Listing->messages; }
    std::unique_ptr<CPOP3MessageReader> Open(size_t index) override;
    // Each file that cannot be removed is named in a WARNING line.
    size_t Remove(const std::vector<size_t>& indexes) override;

    // The unique id a message file's name gives: the name without ".msg" when that is 1 to 70
    // characters from '!' to '~', else a digest of the name.
    static std::string UniqueId(const std::string& fileName);

    // A mailbox's messages as one listing found them; shared, never changed once made.
    struct CListing {
        std::vector<CPOP3MessageEntry> messages;
        std::vector<std::string> paths;
    };

private:
    explicit CPOP3StoreMaildrop(std::shared_ptr<CFile> lockFile) : m_LockFile(std::move(lockFile)) {}

    std::shared_ptr<CFile> m_LockFile;
    std::shared_ptr<const CListing> m_Listing;
};

}  // namespace Nerra
