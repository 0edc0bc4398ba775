#pragma once

#include <cstdint>
#include <list>
#include <memory>
#include <string>

namespace Nerra {

// One regular file of a directory listing.
struct CFileInfo {
    std::string name;
    std::string path;
    uint64_t size = 0;
    uint32_t lastWriteTime = 0;  // seconds since 1970, UTC
    bool deleted = false;        // marked for deletion by a POP3 session
};

// One subdirectory of a directory listing ("." and ".." included).
struct CDirInfo {
    std::string name;
    std::string path;
};

using CFileInfoList = std::list<CFileInfo>;
using CDirInfoList = std::list<CDirInfo>;

// An open file; copies share it and the last copy closes it. Path operations report
// failure by a false result and a WARNING; operations on an open file throw.
//
// Only regular files are ever opened, and never through a symbolic link in the last part of
// the path: the service runs as root, and mail directories hold whatever others put there.
// An open never blocks, so a named pipe or a device cannot stall the thread that meets it.
class CFile {
public:
    struct Access {
        enum : unsigned { Read = 1, Write = 2 };
    };
    // Exclusive takes an exclusive advisory lock at open and fails at once while another
    // holder has it: that is how a mailbox lock file refuses a second session.
    enum Sharing { Exclusive, ShareRead, ShareReadWrite };
    enum Disposition { CreateNew, OpenAlways, OpenExisting, CreateAlways };
    enum Options : unsigned { NoOptions = 0, UniqueName = 1, DeleteOnWriteFailure = 2, DeleteOnClose = 4 };
    enum Origin { BEGIN = 0, END = 1, CURRENT = 2 };

    // With UniqueName the path is a printf format with one integer placeholder, filled
    // with random numbers below 1000 until a new file can be created. Anything but a
    // regular file fails the open.
    CFile(const std::string& path, unsigned access, Sharing sharing, Disposition disposition,
          unsigned options = NoOptions);

    uint32_t Read(void* buffer, uint32_t count);
    void Write(const void* buffer, uint32_t count);
    uint32_t SetFilePointer(int32_t offset, Origin origin);
    uint32_t GetSize();
    void SetDeleteOnClose(bool deleteOnClose);
    std::string GetFilename() const;
    // Forces the file's data to disk, so a crash cannot lose what was written.
    void Flush();

    static bool DeleteFile(const std::string& path);
    // Fails when the target exists; it never overwrites.
    static bool MoveFile(const std::string& source, const std::string& target);
    // Copies the source over the target, replacing it atomically; the source stays.
    static bool OverwriteFile(const std::string& source, const std::string& target);
    // Renames the source over the target, replacing it atomically.
    static bool ReplaceFile(const std::string& source, const std::string& target);
    // Forces a directory's entries to disk, so created or renamed files survive a crash.
    static bool SyncDirectory(const std::string& path);
    // The whole content of a regular file.
    static bool ReadFile(const std::string& path, std::string& content);

    // What a path names, without following a symbolic link in its last part.
    enum Kind { Missing, RegularFile, Directory, Other };
    static Kind GetKind(const std::string& path);
    // The absolute path with every symbolic link resolved; empty when it cannot be resolved.
    static std::string ResolvePath(const std::string& path);
    // How many descriptors the process may hold open at once.
    static uint64_t GetOpenFileLimit();

    // Wildcards: "*" any run of characters, "?" one character. Listing order, no sorting;
    // a missing directory gives an empty list. Files are the regular files only; any other
    // entry but a directory (a symbolic link, a pipe, a device) is left out with a WARNING
    // the first time it is met. Directories may be reached through symbolic links.
    static std::shared_ptr<CFileInfoList> EnumerateFiles(const std::string& directory, const std::string& pattern);
    static std::shared_ptr<CDirInfoList> EnumerateDirs(const std::string& directory, const std::string& pattern);

private:
    class CFileImpl;
    std::shared_ptr<CFileImpl> m_Impl;
};

// Matches a name against a wildcard pattern of "*" and "?".
bool MatchesWildcard(const std::string& name, const std::string& pattern);

}  // namespace Nerra
