#include "mail/PeriodicJobs.h"


#include "core/CConfig.h"
#include "core/CFile.h"
#include "core/TextUtils.h"
#include "core/Trace.h"
#include "mail/CPOP3ClientMessage.h"
#include "mail/FilingHeader.h"
#include "mail/LockPools.h"
#include "mail/MailStore.h"
#include "runtime/CTimerThread.h"
#include "runtime/CWorkerThreadPool.h"

namespace Nerra {

namespace {

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
        const std::string header = ReadMessageHeaderText(*file, size);
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
