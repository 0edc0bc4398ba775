#pragma once

#include <set>
#include <string>

namespace Nerra {

// The unique ids (as UIDL gives them) of one remote mailbox's messages that are stored
// locally but whose deletion on the server no QUIT has confirmed yet. Kept in a small file
// in the user's directory, so that a session cut after its DELEs, or a killed process, does
// not make the next session fetch and file those messages again: it only deletes them.
// Used by one fetch connection at a time.
class CPOP3ClientUidState {
public:
    // The file of the remote account: in userDirectory, named after host, port and remote
    // user, with every byte outside [A-Za-z0-9._-] percent-encoded.
    CPOP3ClientUidState(const std::string& userDirectory, const std::string& host, const std::string& port,
                        const std::string& remoteUser);

    static std::string FileName(const std::string& host, const std::string& port, const std::string& remoteUser);

    // Reads the file; a missing file is an empty state.
    void Load();
    bool Contains(const std::string& uid) const { return m_Uids.count(uid) > 0; }
    // Keeps only the ids the server still lists: the others were deleted.
    void Retain(const std::set<std::string>& listed);
    void Add(const std::string& uid) { m_Uids.insert(uid); }
    // Replaces the file atomically and forces it to disk before returning.
    void Save() const;
    // After QUIT's "+OK": nothing is pending any more; the file goes.
    void Clear();

private:
    const std::string m_Directory;
    const std::string m_Path;
    std::set<std::string> m_Uids;
};

}  // namespace Nerra
