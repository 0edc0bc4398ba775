#include "mail/CPOP3StoreMaildrop.h"

#include <algorithm>
#include <map>
#include <mutex>
#include <unordered_map>

#include "core/CLog.h"
#include "core/TextUtils.h"
#include "mail/MailStore.h"

namespace Nerra {

namespace {

// Reads a message straight from its file.
class CFileReader : public CPOP3MessageReader {
public:
    explicit CFileReader(const std::string& path) : m_File(path, CFile::Reading, CFile::MustExist) {}
    uint32_t Read(char* buffer, uint32_t length) override { return m_File.Read(buffer, length); }

private:
    CFile m_File;
};

// Sizes as sent, which differ from the file's size for LF line ends, are known only by
// reading the message. The process remembers them per mailbox, by name, file size and
// time, so that a large mailbox is read once and opens quickly afterwards. Message files
// are never rewritten in place; a changed one is measured again.
struct CMeasured {
    uint64_t fileSize;
    int64_t modifiedTime;
    uint64_t wireSize;
};
using CMailboxSizes = std::unordered_map<std::string, CMeasured>;
std::mutex g_SizesLock;
std::map<std::string, CMailboxSizes> g_Sizes;

uint64_t WireSize(const CFileInfo& file, const CMailboxSizes& known)
{
    auto found = known.find(file.name);
    if (found != known.end() && found->second.fileSize == file.size && found->second.modifiedTime == file.modifiedTime)
        return found->second.wireSize;
    return CPOP3MessageEncoder::WireSize(std::make_unique<CFileReader>(file.path));
}

// Messages are numbered oldest first. Files written within the same second keep the order
// of their names, so the numbers of one listing are the same on every login.
bool OlderFirst(const CFileInfo& a, const CFileInfo& b)
{
    if (a.modifiedTime != b.modifiedTime)
        return a.modifiedTime < b.modifiedTime;
    return a.name < b.name;
}

}  // namespace

CPOP3LoginOutcome CPOP3StoreMaildrop::Open(const std::string& directory)
{
    CPOP3LoginOutcome outcome;
    // A mailbox that leads out of the mail store is refused: the session would serve and
    // delete files elsewhere.
    if (!IsInsideMailDirectory(directory) || CFile::GetKind(directory) != CFile::Directory) {
        outcome.result = EPOP3Login::NoMailbox;
        return outcome;
    }
    // The lock file is held open without sharing for the whole session, across processes as
    // well; it is removed again when the session closes it.
    std::shared_ptr<CFile> lock;
    try {
        lock = std::make_shared<CFile>(directory + "/.lock", CFile::Reading | CFile::Writing, CFile::CreateOrOpen,
                                       CFile::ExclusiveLock | CFile::RemoveOnClose);
    } catch (...) {
        outcome.result = EPOP3Login::InUse;
        return outcome;
    }
    std::unique_ptr<CPOP3StoreMaildrop> maildrop(new CPOP3StoreMaildrop(std::move(lock)));
    maildrop->Load(directory);
    outcome.result = EPOP3Login::Accepted;
    outcome.maildrop = std::move(maildrop);
    return outcome;
}

void CPOP3StoreMaildrop::Load(const std::string& directory)
{
    // Regular files only: a link or a device in the mailbox is never served.
    std::vector<CFileInfo> files = CFile::ListFiles(directory, "*.msg");
    std::sort(files.begin(), files.end(), OlderFirst);
    CMailboxSizes known, measured;
    {
        std::lock_guard<std::mutex> guard(g_SizesLock);
        known.swap(g_Sizes[directory]);
    }
    for (const CFileInfo& file : files) {
        uint64_t size = 0;
        // A file that went between the listing and now is left out of the listing.
        try {
            size = WireSize(file, known);
        } catch (...) {
            continue;
        }
        measured[file.name] = CMeasured{file.size, file.modifiedTime, size};
        m_Messages.push_back(CPOP3MessageEntry{UniqueId(file.name), size});
        m_Paths.push_back(file.path);
    }
    std::lock_guard<std::mutex> guard(g_SizesLock);
    g_Sizes[directory].swap(measured);
}

std::unique_ptr<CPOP3MessageReader> CPOP3StoreMaildrop::Open(size_t index)
{
    return std::make_unique<CFileReader>(m_Paths.at(index));
}

size_t CPOP3StoreMaildrop::Remove(const std::vector<size_t>& indexes)
{
    size_t failed = 0;
    for (size_t index : indexes) {
        if (CFile::Remove(m_Paths.at(index)))
            continue;
        ++failed;
        CLog::Instance().Warning(
            "CPOP3ServerConnection::~CPOP3ServerConnection(): closing mailbox, unable to delete file '%s'",
            m_Paths[index].c_str());
    }
    return failed;
}

std::string CPOP3StoreMaildrop::UniqueId(const std::string& fileName)
{
    const std::string stem = fileName.substr(0, fileName.size() - 4);
    const bool usable = !stem.empty() && stem.size() <= 70 &&
                        std::all_of(stem.begin(), stem.end(), [](char c) { return c >= '!' && c <= '~'; });
    return usable ? stem : "~" + Sha1Hex(fileName.data(), fileName.size());
}

}  // namespace Nerra
