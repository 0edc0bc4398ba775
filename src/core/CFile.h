#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace Nerra {

// One regular file of a directory listing.
struct CFileInfo {
    std::string name;
    std::string path;
    uint64_t size = 0;
    int64_t modifiedTime = 0;  // seconds since 1970, UTC
};

// One subdirectory of a directory listing ("." and ".." included).
struct CDirInfo {
    std::string name;
    std::string path;
};

// An open file; copies share it and the last copy closes it. The one place that calls the
// operating system for files: path operations report failure by a false result and a
// WARNING, operations on an open file throw.
//
// Only regular files are ever opened, and never through a symbolic link in the last part of
// the path: the service runs as root, and mail directories hold whatever others put there.
// An open never blocks, so a named pipe or a device cannot stall the thread that meets it.
class CFile {
public:
    enum Access : unsigned { Reading = 1, Writing = 2 };
    // What the open does when the file is there, and when it is not.
    enum Creation { MustCreate, CreateOrOpen, MustExist };
    enum Options : unsigned {
        NoOptions = 0,
        // The path is a printf format with one integer placeholder, filled with random numbers
        // below 1000 until a new file can be created.
        UniqueName = 1,
        RemoveOnWriteFailure = 2,
        RemoveOnClose = 4,
        // An exclusive advisory lock, taken at open; the open fails at once while another
        // holder has it: that is how a mailbox lock file refuses a second session.
        ExclusiveLock = 8,
    };

    CFile(const std::string& path, unsigned access, Creation creation, unsigned options = NoOptions);

    uint32_t Read(void* buffer, uint32_t count);
    void Write(const void* buffer, uint32_t count);
    void Rewind();
    uint32_t GetSize();
    void SetRemoveOnClose(bool remove);
    const std::string& GetPath() const;
    // Forces the file's data to disk, so a crash cannot lose what was written.
    void Flush();

    static bool Remove(const std::string& path);
    // Fails when the target exists; it never overwrites. A caller that passes `taken` learns
    // of an existing target there, without a WARNING, and may try another name.
    static bool Move(const std::string& source, const std::string& target, bool* taken = nullptr);
    // Renames the source over the target, replacing it atomically.
    static bool Replace(const std::string& source, const std::string& target);
    // Forces a directory's entries to disk, so created or renamed files survive a crash.
    static bool SyncDirectory(const std::string& path);
    // The whole content of a regular file.
    static bool ReadAll(const std::string& path, std::string& content);

    // What a path names, without following a symbolic link in its last part.
    enum Kind { Missing, RegularFile, Directory, Other };
    static Kind GetKind(const std::string& path);
    // The absolute path with every symbolic link resolved; empty when it cannot be resolved.
    static std::string ResolvePath(const std::string& path);
    // How many descriptors the process may hold open at once.
    static uint64_t OpenFileLimit();

    // Wildcards: "*" any run of characters, "?" one character. Listing order, no sorting;
    // a missing directory gives an empty list. Files are the regular files only; any other
    // entry but a directory (a symbolic link, a pipe, a device) is left out with a WARNING
    // the first time it is met. Directories may be reached through symbolic links.
    static std::vector<CFileInfo> ListFiles(const std::string& directory, const std::string& pattern);
    static std::vector<CDirInfo> ListDirectories(const std::string& directory, const std::string& pattern);

private:
    class CFileImpl;
    std::shared_ptr<CFileImpl> m_Impl;
};

// The calls a test may make fail, to show that no message is lost when the disk fails.
enum class EFileCall { Write, Sync, Rename };
// Asked before each such call with the path it concerns; returns 0 to let the call go on,
// or the errno it fails with instead. Null (the default) asks nothing.
using CFileFault = int (*)(EFileCall call, const std::string& path);
void SetFileFault(CFileFault fault);

// Matches a name against a wildcard pattern of "*" and "?".
bool MatchesWildcard(const std::string& name, const std::string& pattern);

}  // namespace Nerra
