#include "core/CFile.h"

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

const char* OriginName(CFile::Origin origin)
{
    switch (origin) {
    case CFile::BEGIN: return "BEGIN";
    case CFile::END: return "END";
    case CFile::CURRENT: return "CURRENT";
    }
    return "UNKNOWN";
}

int OpenFlags(unsigned access, CFile::Disposition disposition)
{
    // No symbolic link is followed and no open waits: a pipe would block until a writer
    // came, and both are refused below anyway.
    int flags = O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK;
    if ((access & CFile::Access::Read) && (access & CFile::Access::Write))
        flags |= O_RDWR;
    else if (access & CFile::Access::Write)
        flags |= O_WRONLY;
    else
        flags |= O_RDONLY;
    switch (disposition) {
    case CFile::CreateNew: flags |= O_CREAT | O_EXCL; break;
    case CFile::OpenAlways: flags |= O_CREAT; break;
    case CFile::OpenExisting: break;
    case CFile::CreateAlways: flags |= O_CREAT | O_TRUNC; break;
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
int OpenOne(const std::string& path, int flags, CFile::Sharing sharing)
{
    for (int attempt = 0; attempt < LOCK_ATTEMPTS; ++attempt) {
        int fd = OpenRegular(path, flags);
        if (fd < 0 || sharing != CFile::Exclusive)
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
    CFileImpl(const std::string& path, unsigned access, Sharing sharing, Disposition disposition, unsigned options)
        : m_DeleteOnWriteFailure(options & DeleteOnWriteFailure), m_DeleteOnClose(options & DeleteOnClose)
    {
        NERRA_TRACE_BEGIN
        const int flags = OpenFlags(access, disposition);
        if (options & UniqueName) {
            for (int attempt = 0; attempt < 1000 && m_Fd < 0; ++attempt) {
                m_Name = FormatUniqueName(path, Random32(1000));
                m_Fd = OpenOne(m_Name, flags, sharing);
            }
        } else {
            m_Name = path;
            m_Fd = OpenOne(path, flags, sharing);
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
        bool deleteFailed = m_DeleteOnClose && unlink(m_Name.c_str()) != 0;
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
            ssize_t n = write(m_Fd, data, left);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                int error = n < 0 ? errno : ENOSPC;
                if (m_DeleteOnWriteFailure)
                    m_DeleteOnClose = true;
                throw CMessageException("WriteFile() failed, GetLastError=%u", static_cast<unsigned>(error));
            }
            data += n;
            left -= static_cast<uint32_t>(n);
        }
        NERRA_TRACE_END("CFileImpl::Write(" NERRA_PTR ", %u)", NERRA_PTR_ARG(buffer), count)
    }

    uint32_t Seek(int32_t offset, Origin origin)
    {
        static const int whence[] = {SEEK_SET, SEEK_END, SEEK_CUR};
        off_t position = lseek(m_Fd, offset, whence[origin]);
        if (position < 0)
            throw CMessageException("SetFilePointer(%u, %s) failed, GetLastError=%u", static_cast<unsigned>(offset),
                                    OriginName(origin), static_cast<unsigned>(errno));
        return static_cast<uint32_t>(position);
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
        if (fsync(m_Fd) != 0)
            throw CMessageException("fsync('%s') failed, GetLastError=%u", m_Name.c_str(), static_cast<unsigned>(errno));
    }

    int m_Fd = -1;
    std::string m_Name;
    bool m_DeleteOnWriteFailure;
    bool m_DeleteOnClose;
};

CFile::CFile(const std::string& path, unsigned access, Sharing sharing, Disposition disposition, unsigned options)
    : m_Impl(std::make_shared<CFileImpl>(path, access, sharing, disposition, options))
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

uint32_t CFile::SetFilePointer(int32_t offset, Origin origin)
{
    NERRA_TRACE_BEGIN
    return m_Impl->Seek(offset, origin);
    NERRA_TRACE_END("CFile::SetFilePointer(%u, %s)", static_cast<unsigned>(offset), OriginName(origin))
}

uint32_t CFile::GetSize()
{
    NERRA_TRACE_BEGIN
    return m_Impl->GetSize();
    NERRA_TRACE_END("CFile::GetSize()")
}

void CFile::SetDeleteOnClose(bool deleteOnClose) { m_Impl->m_DeleteOnClose = deleteOnClose; }

std::string CFile::GetFilename() const { return m_Impl->m_Name; }

void CFile::Flush()
{
    NERRA_TRACE_BEGIN
    m_Impl->Flush();
    NERRA_TRACE_END("CFile::Flush()")
}

bool CFile::DeleteFile(const std::string& path)
{
    if (unlink(path.c_str()) == 0)
        return true;
    CLog::Instance().Warning("CFile::DeleteFile('%s'): DeleteFile() failed, GetLastError=%u", path.c_str(),
                             static_cast<unsigned>(errno));
    return false;
}

bool CFile::MoveFile(const std::string& source, const std::string& target)
{
    int result = renameat2(AT_FDCWD, source.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE);
    if (result != 0 && errno == EINVAL) {
        // A file system without no-replace renames: a hard link refuses an existing target too.
        result = link(source.c_str(), target.c_str());
        if (result == 0)
            unlink(source.c_str());
    }
    if (result == 0)
        return true;
    CLog::Instance().Warning("CFile::MoveFile('%s', '%s'): MoveFile() failed, GetLastError=%u", source.c_str(),
                             target.c_str(), static_cast<unsigned>(errno));
    return false;
}

bool CFile::ReplaceFile(const std::string& source, const std::string& target)
{
    if (rename(source.c_str(), target.c_str()) == 0)
        return true;
    CLog::Instance().Warning("CFile::ReplaceFile('%s', '%s'): rename() failed, GetLastError=%u", source.c_str(),
                             target.c_str(), static_cast<unsigned>(errno));
    return false;
}

namespace {
// Copies a file's bytes into a new temporary beside the target and flushes it.
bool CopyToTemporary(const std::string& source, const std::string& target, std::string& temporary)
{
    int in = OpenRegular(source, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (in < 0) {
        if (in == NOT_REGULAR)
            errno = EINVAL;
        return false;
    }
    std::vector<char> name(target.begin(), target.end());
    const char suffix[] = ".copy.XXXXXX";
    name.insert(name.end(), suffix, suffix + sizeof suffix);
    int out = mkostemp(name.data(), O_CLOEXEC);
    if (out < 0) {
        int error = errno;
        close(in);
        errno = error;
        return false;
    }
    temporary = name.data();
    char buffer[65536];
    bool ok = true;
    for (;;) {
        ssize_t n = read(in, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            ok = n == 0;
            break;
        }
        for (ssize_t done = 0; ok && done < n;) {
            ssize_t w = write(out, buffer + done, static_cast<size_t>(n - done));
            if (w < 0 && errno == EINTR)
                continue;
            ok = w > 0;
            done += w > 0 ? w : 0;
        }
        if (!ok)
            break;
    }
    int error = errno;
    ok = ok && fsync(out) == 0;
    if (!ok)
        error = errno ? errno : EIO;
    close(in);
    close(out);
    if (!ok) {
        unlink(temporary.c_str());
        errno = error;
    }
    return ok;
}
}  // namespace

bool CFile::OverwriteFile(const std::string& source, const std::string& target)
{
    std::string temporary;
    if (CopyToTemporary(source, target, temporary)) {
        if (rename(temporary.c_str(), target.c_str()) == 0)
            return true;
        int error = errno;
        unlink(temporary.c_str());
        errno = error;
    }
    CLog::Instance().Warning("CFile::OverwriteFile('%s', '%s'): CopyFile() failed, GetLastError=%u", source.c_str(),
                             target.c_str(), static_cast<unsigned>(errno));
    return false;
}

bool CFile::SyncDirectory(const std::string& path)
{
    int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    bool ok = fd >= 0 && fsync(fd) == 0;
    int error = errno;
    if (fd >= 0)
        close(fd);
    if (!ok)
        CLog::Instance().Warning("CFile::SyncDirectory('%s'): fsync() failed, GetLastError=%u", path.c_str(),
                                 static_cast<unsigned>(error));
    return ok;
}

bool CFile::ReadFile(const std::string& path, std::string& content)
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

uint64_t CFile::GetOpenFileLimit()
{
    rlimit limit {};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
        return UINT32_MAX;
    return static_cast<uint64_t>(limit.rlim_cur);
}

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

std::shared_ptr<CFileInfoList> CFile::EnumerateFiles(const std::string& directory, const std::string& pattern)
{
    NERRA_TRACE_BEGIN
    auto files = std::make_shared<CFileInfoList>();
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
        file.lastWriteTime = static_cast<uint32_t>(info.st_mtim.tv_sec);
        files->push_back(std::move(file));
    });
    return files;
    NERRA_TRACE_END("CFile::EnumerateFiles('%s', '%s')", directory.c_str(), pattern.c_str())
}

std::shared_ptr<CDirInfoList> CFile::EnumerateDirs(const std::string& directory, const std::string& pattern)
{
    NERRA_TRACE_BEGIN
    auto dirs = std::make_shared<CDirInfoList>();
    ListDirectory(directory, pattern, true, [&](const std::string& name, const struct stat& info) {
        if (S_ISDIR(info.st_mode))
            dirs->push_back(CDirInfo{name, directory + "/" + name});
    });
    return dirs;
    NERRA_TRACE_END("CFile::EnumerateDirs('%s', '%s')", directory.c_str(), pattern.c_str())
}

}  // namespace Nerra
