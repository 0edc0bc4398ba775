#include "core/CFile.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "core/TextUtils.h"
#include "core/Trace.h"

namespace Nerra {

namespace {

constexpr int LOCK_ATTEMPTS = 16;

std::atomic<CFileFault> g_Fault{nullptr};

// The errno an injected fault makes the call fail with, or 0 to make the call.
int Injected(EFileCall call, const std::string& path)
{
    const CFileFault fault = g_Fault.load(std::memory_order_acquire);
    return fault ? fault(call, path) : 0;
}

// write(), unless a test makes it fail.
ssize_t WriteCall(int fd, const std::string& path, const void* data, size_t count)
{
    if (const int error = Injected(EFileCall::Write, path)) {
        errno = error;
        return -1;
    }
    return write(fd, data, count);
}

int SyncCall(int fd, const std::string& path)
{
    if (const int error = Injected(EFileCall::Sync, path)) {
        errno = error;
        return -1;
    }
    return fsync(fd);
}

int RenameCall(const std::string& source, const std::string& target, unsigned flags)
{
    if (const int error = Injected(EFileCall::Rename, source)) {
        errno = error;
        return -1;
    }
    return renameat2(AT_FDCWD, source.c_str(), AT_FDCWD, target.c_str(), flags);
}

int OpenFlags(unsigned access, CFile::Creation creation)
{
    // No symbolic link is followed and no open waits: a pipe would block until a writer
    // came, and both are refused below anyway.
    int flags = O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK;
    if ((access & CFile::Reading) && (access & CFile::Writing))
        flags |= O_RDWR;
    else if (access & CFile::Writing)
        flags |= O_WRONLY;
    else
        flags |= O_RDONLY;
    switch (creation) {
    case CFile::MustCreate: flags |= O_CREAT | O_EXCL; break;
    case CFile::CreateOrOpen: flags |= O_CREAT; break;
    case CFile::MustExist: break;
    }
    return flags;
}

// Closes a descriptor when the block that opened it ends.
class CDescriptor {
public:
    explicit CDescriptor(int fd) : m_Fd(fd) {}
    ~CDescriptor() { close(m_Fd); }
    CDescriptor(const CDescriptor&) = delete;
    CDescriptor& operator=(const CDescriptor&) = delete;

private:
    const int m_Fd;
};

// Marks an open refused because the path names something other than a regular file.
constexpr int NOT_REGULAR = -2;

// Opens a name that must be a regular file. O_NOFOLLOW makes a symbolic link fail with
// ELOOP; anything else that is not a regular file is told by the open descriptor itself,
// so nothing can be swapped in between the check and the use.
int OpenRegular(const std::string& path, int flags)
{
    int fd = open(path.c_str(), flags, 0644);
    if (fd < 0)
        return errno == ELOOP ? NOT_REGULAR : -1;
    struct stat info {};
    if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode))
        return fd;
    close(fd);
    return NOT_REGULAR;
}

// Opens one name. For an exclusive open the lock is taken before the file is used, and the
// path is checked to still name the locked file: a holder that closed it in between has
// unlinked it, and a lock on an unlinked file would let two holders share one mailbox.
int OpenOne(const std::string& path, int flags, bool exclusive)
{
    for (int attempt = 0; attempt < LOCK_ATTEMPTS; ++attempt) {
        int fd = OpenRegular(path, flags);
        if (fd < 0 || !exclusive)
            return fd;
        if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
            int error = errno;
            close(fd);
            errno = error;
            return -1;
        }
        struct stat opened {}, named {};
        if (fstat(fd, &opened) == 0 && lstat(path.c_str(), &named) == 0 && opened.st_dev == named.st_dev &&
            opened.st_ino == named.st_ino)
            return fd;
        close(fd);
        if (!(flags & O_CREAT)) {
            errno = ENOENT;
            return -1;
        }
    }
    errno = EWOULDBLOCK;
    return -1;
}

std::string FormatUniqueName(const std::string& format, uint32_t number)
{
    std::vector<char> buffer(format.size() + 32);
    snprintf(buffer.data(), buffer.size(), format.c_str(), number);
    return buffer.data();
}

}  // namespace

class CFile::CFileImpl {
public:
    CFileImpl(const std::string& path, unsigned access, Creation creation, unsigned options)
        : m_RemoveOnWriteFailure(options & RemoveOnWriteFailure), m_RemoveOnClose(options & RemoveOnClose)
    {
        NERRA_TRACE_BEGIN
        const int flags = OpenFlags(access, creation);
        const bool exclusive = options & ExclusiveLock;
        if (options & UniqueName) {
            for (int attempt = 0; attempt < 1000 && m_Fd < 0; ++attempt) {
                m_Name = FormatUniqueName(path, Random32(1000));
                m_Fd = OpenOne(m_Name, flags, exclusive);
            }
        } else {
            m_Name = path;
            m_Fd = OpenOne(path, flags, exclusive);
        }
        if (m_Fd == NOT_REGULAR)
            throw CMessageException("CreateFile('%s') failed, not a regular file", path.c_str());
        if (m_Fd < 0)
            throw CMessageException("CreateFile('%s') failed, GetLastError=%u", path.c_str(), static_cast<unsigned>(errno));
        NERRA_TRACE_END("CFileImpl::CFileImpl('%s')", path.c_str())
    }

    ~CFileImpl()
    {
        NERRA_TRACE_BEGIN
        // Unlink before close, so a lock file vanishes while its lock is still held.
        bool deleteFailed = m_RemoveOnClose && unlink(m_Name.c_str()) != 0;
        int error = errno;
        close(m_Fd);
        if (deleteFailed)
            throw CMessageException("DeleteFile('%s') failed, GetLastError=%u", m_Name.c_str(), static_cast<unsigned>(error));
        NERRA_TRACE_END_CONTINUE("CFileImpl::~CFileImpl()")
    }

    uint32_t Read(void* buffer, uint32_t count)
    {
        NERRA_TRACE_BEGIN
        for (;;) {
            ssize_t n = read(m_Fd, buffer, count);
            if (n >= 0)
                return static_cast<uint32_t>(n);
            if (errno != EINTR)
                throw CMessageException("ReadFile() failed, GetLastError=%u", static_cast<unsigned>(errno));
        }
        NERRA_TRACE_END("CFileImpl::Read(" NERRA_PTR ", %u)", NERRA_PTR_ARG(buffer), count)
    }

    void Write(const void* buffer, uint32_t count)
    {
        NERRA_TRACE_BEGIN
        const char* data = static_cast<const char*>(buffer);
        uint32_t left = count;
        while (left > 0) {
            ssize_t n = WriteCall(m_Fd, m_Name, data, left);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                int error = n < 0 ? errno : ENOSPC;
                if (m_RemoveOnWriteFailure)
                    m_RemoveOnClose = true;
                throw CMessageException("WriteFile() failed, GetLastError=%u", static_cast<unsigned>(error));
            }
            data += n;
            left -= static_cast<uint32_t>(n);
        }
        NERRA_TRACE_END("CFileImpl::Write(" NERRA_PTR ", %u)", NERRA_PTR_ARG(buffer), count)
    }

    void Rewind()
    {
        if (lseek(m_Fd, 0, SEEK_SET) < 0)
            throw CMessageException("SetFilePointer(0, BEGIN) failed, GetLastError=%u", static_cast<unsigned>(errno));
    }

    uint32_t GetSize()
    {
        NERRA_TRACE_BEGIN
        struct stat info {};
        if (fstat(m_Fd, &info) != 0)
            throw CMessageException("GetSize(%d) failed, GetLastError=%u", m_Fd, static_cast<unsigned>(errno));
        return static_cast<uint32_t>(info.st_size);
        NERRA_TRACE_END("CFileImpl::GetSize()")
    }

    void Flush()
    {
        if (SyncCall(m_Fd, m_Name) != 0)
            throw CMessageException("fsync('%s') failed, GetLastError=%u", m_Name.c_str(), static_cast<unsigned>(errno));
    }

    int m_Fd = -1;
    std::string m_Name;
    bool m_RemoveOnWriteFailure;
    bool m_RemoveOnClose;
};

CFile::CFile(const std::string& path, unsigned access, Creation creation, unsigned options)
    : m_Impl(std::make_shared<CFileImpl>(path, access, creation, options))
{
}

uint32_t CFile::Read(void* buffer, uint32_t count)
{
    NERRA_TRACE_BEGIN
    return m_Impl->Read(buffer, count);
    NERRA_TRACE_END("CFile::Read(" NERRA_PTR ", %u)", NERRA_PTR_ARG(buffer), count)
}

void CFile::Write(const void* buffer, uint32_t count)
{
    NERRA_TRACE_BEGIN
    m_Impl->Write(buffer, count);
    NERRA_TRACE_END("CFile::Write(" NERRA_PTR ", %u)", NERRA_PTR_ARG(buffer), count)
}

void CFile::Rewind()
{
    NERRA_TRACE_BEGIN
    m_Impl->Rewind();
    NERRA_TRACE_END("CFile::SetFilePointer(0, BEGIN)")
}

uint32_t CFile::GetSize()
{
    NERRA_TRACE_BEGIN
    return m_Impl->GetSize();
    NERRA_TRACE_END("CFile::GetSize()")
}

void CFile::SetRemoveOnClose(bool remove) { m_Impl->m_RemoveOnClose = remove; }

const std::string& CFile::GetPath() const { return m_Impl->m_Name; }

void CFile::Flush()
{
    NERRA_TRACE_BEGIN
    m_Impl->Flush();
    NERRA_TRACE_END("CFile::Flush()")
}

bool CFile::Remove(const std::string& path)
{
    if (unlink(path.c_str()) == 0)
        return true;
    CLog::Instance().Warning("CFile::DeleteFile('%s'): DeleteFile() failed, GetLastError=%u", path.c_str(),
                             static_cast<unsigned>(errno));
    return false;
}

bool CFile::Move(const std::string& source, const std::string& target, bool* taken)
{
    int result = RenameCall(source, target, RENAME_NOREPLACE);
    if (result != 0 && errno == EINVAL) {
        // A file system without no-replace renames: a hard link refuses an existing target too.
        result = link(source.c_str(), target.c_str());
        if (result == 0)
            unlink(source.c_str());
    }
    if (result == 0)
        return true;
    if (taken)
        *taken = errno == EEXIST;
    if (taken && *taken)
        return false;
    CLog::Instance().Warning("CFile::MoveFile('%s', '%s'): MoveFile() failed, GetLastError=%u", source.c_str(),
                             target.c_str(), static_cast<unsigned>(errno));
    return false;
}

bool CFile::Replace(const std::string& source, const std::string& target)
{
    if (RenameCall(source, target, 0) == 0)
        return true;
    CLog::Instance().Warning("CFile::ReplaceFile('%s', '%s'): rename() failed, GetLastError=%u", source.c_str(),
                             target.c_str(), static_cast<unsigned>(errno));
    return false;
}

bool CFile::SyncDirectory(const std::string& path)
{
    int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    bool ok = fd >= 0 && SyncCall(fd, path) == 0;
    int error = errno;
    if (fd >= 0)
        close(fd);
    if (!ok)
        CLog::Instance().Warning("CFile::SyncDirectory('%s'): fsync() failed, GetLastError=%u", path.c_str(),
                                 static_cast<unsigned>(error));
    return ok;
}

bool CFile::ReadAll(const std::string& path, std::string& content)
{
    NERRA_TRACE_BEGIN
    const int fd = OpenRegular(path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd == NOT_REGULAR) {
        CLog::Instance().Warning("CFile::ReadFile('%s'): not a regular file", path.c_str());
        return false;
    }
    if (fd < 0) {
        CLog::Instance().Warning("CFile::ReadFile('%s'): open() failed, GetLastError=%u", path.c_str(),
                                 static_cast<unsigned>(errno));
        return false;
    }
    const CDescriptor owner(fd);
    content.clear();
    char buffer[65536];
    for (;;) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n > 0) {
            content.append(buffer, static_cast<size_t>(n));
        } else if (n == 0) {
            return true;
        } else if (errno != EINTR) {
            CLog::Instance().Warning("CFile::ReadFile('%s'): read() failed, GetLastError=%u", path.c_str(),
                                     static_cast<unsigned>(errno));
            return false;
        }
    }
    NERRA_TRACE_END("CFile::ReadFile('%s')", path.c_str())
}

CFile::Kind CFile::GetKind(const std::string& path)
{
    struct stat info {};
    if (lstat(path.c_str(), &info) != 0)
        return Missing;
    if (S_ISREG(info.st_mode))
        return RegularFile;
    return S_ISDIR(info.st_mode) ? Directory : Other;
}

std::string CFile::ResolvePath(const std::string& path)
{
    std::unique_ptr<char, void (*)(void*)> resolved(realpath(path.c_str(), nullptr), free);
    return resolved ? std::string(resolved.get()) : std::string();
}

uint64_t CFile::OpenFileLimit()
{
    rlimit limit {};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
        return UINT32_MAX;
    return static_cast<uint64_t>(limit.rlim_cur);
}

void SetFileFault(CFileFault fault) { g_Fault.store(fault, std::memory_order_release); }

bool MatchesWildcard(const std::string& name, const std::string& pattern)
{
    // Iterative match with one backtrack point for the last "*": linear for our patterns.
    size_t n = 0, p = 0, starAt = std::string::npos, resumeAt = 0;
    while (n < name.size()) {
        if (p < pattern.size() && (pattern[p] == '?' || pattern[p] == name[n])) {
            ++n;
            ++p;
        } else if (p < pattern.size() && pattern[p] == '*') {
            starAt = p++;
            resumeAt = n;
        } else if (starAt != std::string::npos) {
            p = starAt + 1;
            n = ++resumeAt;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*')
        ++p;
    return p == pattern.size();
}

namespace {
// Calls `visit(name, info)` for every entry of the directory that matches the pattern; with
// `follow` false a symbolic link is described as itself, not as what it leads to.
template <class Visit>
void ListDirectory(const std::string& directory, const std::string& pattern, bool follow, Visit visit)
{
    DIR* dir = opendir(directory.c_str());
    if (!dir)
        return;
    std::unique_ptr<DIR, int (*)(DIR*)> owner(dir, closedir);
    while (dirent* entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (!MatchesWildcard(name, pattern))
            continue;
        struct stat info {};
        if (fstatat(dirfd(dir), entry->d_name, &info, follow ? 0 : AT_SYMLINK_NOFOLLOW) != 0)
            continue;
        visit(name, info);
    }
}
}  // namespace

std::vector<CFileInfo> CFile::ListFiles(const std::string& directory, const std::string& pattern)
{
    NERRA_TRACE_BEGIN
    std::vector<CFileInfo> files;
    ListDirectory(directory, pattern, false, [&](const std::string& name, const struct stat& info) {
        if (S_ISDIR(info.st_mode))
            return;
        const std::string path = directory + "/" + name;
        if (!S_ISREG(info.st_mode)) {
            // Jobs list their directories again and again: the entry is reported once, for
            // as long as the same object stays under that name.
            CLog::Instance().WarningOnce(
                Format("%s:%ju:%ju", path.c_str(), static_cast<uintmax_t>(info.st_dev), static_cast<uintmax_t>(info.st_ino)),
                "CFile::EnumerateFiles('%s', '%s'): '%s' is not a regular file, it is left where it is",
                directory.c_str(), pattern.c_str(), path.c_str());
            return;
        }
        CFileInfo file;
        file.name = name;
        file.path = path;
        file.size = static_cast<uint64_t>(info.st_size);
        file.modifiedTime = static_cast<int64_t>(info.st_mtim.tv_sec);
        files.push_back(std::move(file));
    });
    return files;
    NERRA_TRACE_END("CFile::EnumerateFiles('%s', '%s')", directory.c_str(), pattern.c_str())
}

std::vector<CDirInfo> CFile::ListDirectories(const std::string& directory, const std::string& pattern)
{
    NERRA_TRACE_BEGIN
    std::vector<CDirInfo> dirs;
    ListDirectory(directory, pattern, true, [&](const std::string& name, const struct stat& info) {
        if (S_ISDIR(info.st_mode))
            dirs.push_back(CDirInfo{name, directory + "/" + name});
    });
    return dirs;
    NERRA_TRACE_END("CFile::EnumerateDirs('%s', '%s')", directory.c_str(), pattern.c_str())
}

}  // namespace Nerra
