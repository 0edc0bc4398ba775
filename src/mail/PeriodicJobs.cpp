#include "mail/PeriodicJobs.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "core/CConfig.h"
#include "core/CFile.h"
#include "core/TextUtils.h"
#include "core/Trace.h"
#include "mail/CPOP3ClientMessage.h"
#include "mail/LockPools.h"
#include "mail/MailStore.h"
#include "runtime/CTimerThread.h"
#include "runtime/CWorkerThreadPool.h"

namespace Nerra {

namespace {

constexpr uint32_t HEADER_READ_LIMIT = 65536;
constexpr uint32_t HEADER_READ_STEP = 8192;
constexpr int RAW_NAME_ATTEMPTS = 100;

// Messages waiting for processing hold an open file and a parsed header each: a spool run
// that finds a large backlog feeds it in batches, so memory and open files stay bounded.
constexpr size_t SPOOL_HIGH_WATER = 2000;
constexpr size_t SPOOL_LOW_WATER = 500;

// Waits until the processing backlog has drained; false when the service is stopping.
bool WaitForBacklog()
{
    CInFlight& backlog = CPOP3ClientMessage::InFlight();
    if (backlog.Count() < SPOOL_HIGH_WATER)
        return true;
    return backlog.WaitUntilAtMost(SPOOL_LOW_WATER, CTimerThread::Instance());
}

// The header block of a message file: up to and including the first empty line, in CR LF.
// Reads in steps and stops at the empty line: most headers are a few KiB.
std::string ReadHeaderText(CFile& file, uint32_t& size)
{
    std::string data;
    uint32_t read = 0;
    size_t crlf = std::string::npos, lf = std::string::npos;
    while (read < HEADER_READ_LIMIT && crlf == std::string::npos && lf == std::string::npos) {
        const uint32_t step = std::min(HEADER_READ_STEP, HEADER_READ_LIMIT - read);
        data.resize(read + step);
        const uint32_t n = file.Read(&data[read], step);
        data.resize(read + n);
        if (n == 0)
            break;
        read += n;
        // The data is cut at a NUL byte, as a C string of it would be.
        const size_t text = strnlen(data.c_str(), data.size());
        crlf = std::string_view(data.data(), text).find("\r\n\r\n");
        lf = std::string_view(data.data(), text).find("\n\n");
    }
    size = file.GetSize();
    if (crlf == std::string::npos && lf == std::string::npos)
        throw CMessageException("The message is broken, the first %d bytes don't contain the message header",
                                static_cast<int>(read));
    if (lf == std::string::npos || (crlf != std::string::npos && crlf < lf))
        return data.substr(0, crlf + 4);
    return Replace(data.substr(0, lf + 2), "\n", "\r\n");
}

void SpoolFile(const std::string& argument, const std::string& userName, const std::string& userDirectory,
               const std::shared_ptr<CUserXML>& user, const CFileInfo& spoolFile)
{
    // Names are a millisecond time stamp and a number below 1000: a fast run meets names
    // already taken, and tries again rather than leave the file for the next run.
    std::string rawPath;
    bool moved = false, taken = true;
    for (int attempt = 0; !moved && taken && attempt < RAW_NAME_ATTEMPTS; ++attempt) {
        rawPath = RawDirectory(userDirectory) + "/" + NewRawFileName();
        moved = CFile::Move(spoolFile.path, rawPath, &taken);
    }
    if (!moved) {
        CLog::Instance().Warning("Unable to move file %s to %s", spoolFile.path.c_str(), rawPath.c_str());
        return;
    }
    try {
        uint32_t size = 0;
        // One open serves both the header read and the filing: the rules read only the path.
        auto file = std::make_shared<CFile>(rawPath, CFile::Reading, CFile::MustExist);
        const std::string header = ReadHeaderText(*file, size);
        auto message = std::make_shared<CPOP3ClientMessage>(userName, user);
        message->SetMessageSize(size);
        message->SetMessageHeader(header);
        message->AttachMessageFile(std::move(file));
        message->SkipFirstPass();
        const std::string key = ToLower(spoolFile.name);
        CNameValueMap& training = TrainingTable();
        if (training.HasValue(key)) {
            message->AddHeaderValue("x-nerra-training-mailbox", training.GetValue(key));
            training.DelValue(key);
        }
        SequentialPool().PushWorkUnit(message, false);
    } catch (...) {
        CLog::Instance().Error("TimerCallback_SpoolMessages('%s'): caught exception while processing file '%s', the "
                               "file is moved to spam: %s",
                               argument.c_str(), rawPath.c_str(), CurrentFailureText().c_str());
        const std::string spam = userDirectory + "/" + SPAM_MAILBOX;
        const std::string spamPath = spam + "/" + spoolFile.name;
        if (!IsInsideMailDirectory(spam) || !CFile::Move(rawPath, spamPath))
            CLog::Instance().Warning("Unable to move file %s to %s", rawPath.c_str(), spamPath.c_str());
    }
}

// A user whose directory or queues lead out of the mail store, or whose account file is not
// a regular file, is left alone; each such finding is logged once, not on every run.
bool IsSpoolable(const CDirInfo& directory)
{
    if (!IsInsideMailDirectory(directory.path) || !IsInsideMailDirectory(SpoolDirectory(directory.path)) ||
        !IsInsideMailDirectory(RawDirectory(directory.path)))
        return false;
    const std::string account = CUserXML::PathFor(directory.name);
    if (CFile::GetKind(account) != CFile::Other)
        return true;
    CLog::Instance().WarningOnce(account, "TimerCallback_SpoolMessages(): '%s' is not a regular file, the spool of "
                                          "user %s is skipped",
                                 account.c_str(), directory.name.c_str());
    return false;
}

}  // namespace

void TimerCallback_SpoolMessages(const std::string& argument)
{
    NERRA_TRACE_BEGIN
    for (const CDirInfo& directory : ListUsers()) {
        if (!IsSpoolable(directory))
            continue;
        std::shared_ptr<CUserXML> user;
        try {
            user = UserPool().GetObject(directory.name);
        } catch (...) {
            // One broken account must not hold up the users listed after it.
            CLog::Instance().Error("TimerCallback_SpoolMessages('%s'): unable to load the account of user %s, its "
                                   "spool is skipped: %s",
                                   argument.c_str(), directory.name.c_str(), CurrentFailureText().c_str());
            continue;
        }
        auto files = CFile::ListFiles(SpoolDirectory(directory.path), "*");
        for (const CFileInfo& file : files) {
            if (!WaitForBacklog())
                return;
            SpoolFile(argument, directory.name, directory.path, user, file);
        }
    }
    NERRA_TRACE_END("TimerCallback_SpoolMessages('%s')", argument.c_str())
}

void TimerCallback_FlushRuleSets(const std::string& argument)
{
    NERRA_TRACE_BEGIN
    RuleSetPool().Flush();
    NERRA_TRACE_END("TimerCallback_FlushRuleSets('%s')", argument.c_str())
}

}  // namespace Nerra
