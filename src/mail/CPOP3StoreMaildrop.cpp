#include "mail/CPOP3StoreMaildrop.h"

#include <algorithm>
#include <filesystem>
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
// time, so that a large mailbox is read once; message files are never rewritten in place,
// and a changed one is measured again.
struct CMeasured {
    uint64_t fileSize;
    int64_t modifiedTime;
    uint64_t wireSize;
};
using CMailboxSizes = std::unordered_map<std::string, CMeasured>;

// What the process knows of one mailbox directory: the sizes of its messages and its last
// listing. A mailbox whose entries are still the regular files of that listing, by name, is
// served from it without a look at each file: a large mailbox then opens in the time its
// directory takes to read. The names are compared as a count and a sum of their hashes.
struct CMailboxMemory {
    CMailboxSizes sizes;
    std::shared_ptr<const CPOP3StoreMaildrop::CListing> listing;
    uint64_t nameSum = 0;
};
std::mutex g_MemoryLock;
std::map<std::string, CMailboxMemory> g_Memory;

uint64_t NameHash(const std::string& name) { return std::hash<std::string>()(name); }

// True when the directory holds exactly the listing's message files, all regular files (as
// the directory says, so that nothing is looked up).
bool StillListed(const std::string& directory, const CMailboxMemory& memory)
{
    std::error_code error;
    size_t count = 0;
    uint64_t sum = 0;
    for (std::filesystem::directory_iterator entry(directory, error), end; !error && entry != end;
         entry.increment(error)) {
        const std::string name = entry->path().filename().string();
        if (!MatchesWildcard(name, "*.msg"))
            continue;
        if (entry->is_symlink(error) || !entry->is_regular_file(error))
            return false;
        ++count;
        sum += NameHash(name);
    }
    return !error && count == memory.listing->messages.size() && sum == memory.nameSum;
}

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

std::shared_ptr<const CPOP3StoreMaildrop::CListing> ListMailbox(const std::string& directory)
{
    // Entries are made under the lock; each is touched only by the session that holds its
    // mailbox's lock file, and a map's entries stay where they are.
    CMailboxMemory* memory = nullptr;
    {
        std::lock_guard<std::mutex> guard(g_MemoryLock);
        memory = &g_Memory[directory];
    }
    if (memory->listing && StillListed(directory, *memory))
        return memory->listing;
    const CMailboxSizes& known = memory->sizes;
    // Regular files only: a link or a device in the mailbox is never served.
    std::vector<CFileInfo> files = CFile::ListFiles(directory, "*.msg");
    std::sort(files.begin(), files.end(), OlderFirst);
    auto listing = std::make_shared<CPOP3StoreMaildrop::CListing>();
    listing->messages.reserve(files.size());
    listing->paths.reserve(files.size());
    CMailboxSizes measured;
    uint64_t nameSum = 0;
    for (const CFileInfo& file : files) {
        uint64_t size = 0;
        // A file that went between the listing and now is left out of the listing.
        try {
            size = WireSize(file, known);
        } catch (...) {
            continue;
        }
        measured[file.name] = CMeasured{file.size, file.modifiedTime, size};
        nameSum += NameHash(file.name);
        listing->messages.push_back(CPOP3MessageEntry{CPOP3StoreMaildrop::UniqueId(file.name), size});
        listing->paths.push_back(file.path);
    }
    memory->sizes.swap(measured);
    memory->listing = listing;
    memory->nameSum = nameSum;
    return listing;
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
    maildrop->m_Listing = ListMailbox(directory);
    outcome.result = EPOP3Login::Accepted;
    outcome.maildrop = std::move(maildrop);
    return outcome;
}

std::unique_ptr<CPOP3MessageReader> CPOP3StoreMaildrop::Open(size_t index)
{
    return std::make_unique<CFileReader>(m_Listing->paths.at(index));
}

size_t CPOP3StoreMaildrop::Remove(const std::vector<size_t>& indexes)
{
    size_t failed = 0;
    for (size_t index : indexes) {
        if (CFile::Remove(m_Listing->paths.at(index)))
            continue;
        ++failed;
        CLog::Instance().Warning(
            "CPOP3ServerConnection::~CPOP3ServerConnection(): closing mailbox, unable to delete file '%s'",
            m_Listing->paths[index].c_str());
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
