#include "app/Service.h"

#include <algorithm>
#include <cctype>
#include <functional>

#include "core/CConfig.h"
#include "core/CFile.h"
#include "core/TextUtils.h"
#include "core/Trace.h"
#include "mail/CPOP3ListenerThread.h"
#include "mail/CPOP3Login.h"
#include "mail/FetchJobs.h"
#include "mail/LockPools.h"
#include "mail/MailStore.h"
#include "mail/PeriodicJobs.h"
#include "net/CNetwork.h"
#include "rules/CPython.h"
#include "runtime/CTimerThread.h"
#include "runtime/CWorkerThreadPool.h"

namespace Nerra {

namespace {

void ForEachUserDirectory(const std::function<void(const CDirInfo&)>& visit)
{
    for (const CDirInfo& directory : ListUsers())
        visit(directory);
}

// The name a rule-set save writes its new file under before renaming it over ruleset.xml.
bool IsRuleSetTemporary(const std::string& name)
{
    const std::string prefix = "ruleset.xml.";
    return name.size() == prefix.size() + 3 && name.compare(0, prefix.size(), prefix) == 0 &&
           std::all_of(name.begin() + prefix.size(), name.end(), [](unsigned char c) { return std::isdigit(c); });
}

}  // namespace

void StartServices()
{
    CConfig::Instance().CheckSettings();
    CPython::Instance();
    Startup();
    StartThreads();
}

void StopServices()
{
    StopThreads();
    RuleSetPool().Flush();
}

void Startup()
{
    NERRA_TRACE_BEGIN
    SpoolRawMessages();
    RemoveRuleSetTemporaries();
    ScheduleDefaultActions();
    NERRA_TRACE_END("Startup()")
}

void SpoolRawMessages()
{
    NERRA_TRACE_BEGIN
    ForEachUserDirectory([](const CDirInfo& directory) {
        // Queues that lead out of the mail store are left alone, like every job leaves them.
        const std::string raw = RawDirectory(directory.path), spool = SpoolDirectory(directory.path);
        if (!IsInsideMailDirectory(directory.path) || !IsInsideMailDirectory(raw) || !IsInsideMailDirectory(spool))
            return;
        // A download takes its .msg name only once it is whole: a .part is what a killed
        // process was still receiving, and the message is still on its server.
        auto parts = CFile::ListFiles(raw, "*.part");
        for (const CFileInfo& part : parts) {
            if (CFile::Remove(part.path))
                CLog::Instance().Warning("SpoolRawMessages(): discarded the incomplete download %s", part.path.c_str());
        }
        auto files = CFile::ListFiles(raw, "*.msg");
        for (const CFileInfo& file : files) {
            try {
                const std::string target = spool + "/" + file.name;
                if (!CFile::Move(file.path, target))
                    throw CMessageException("Unable to move file %s to %s", file.path.c_str(), target.c_str());
            } catch (...) {
                CLog::Instance().Error("SpoolRawMessages(): caught exception while processing file %s, the file is "
                                       "moved to spam: %s",
                                       file.path.c_str(), CurrentFailureText().c_str());
                const std::string spam = directory.path + "/" + SPAM_MAILBOX + "/" + file.name;
                if (!CFile::Move(file.path, spam))
                    CLog::Instance().Warning("Unable to move file %s to %s", file.path.c_str(), spam.c_str());
            }
        }
    });
    NERRA_TRACE_END("SpoolRawMessages()")
}

void RemoveRuleSetTemporaries()
{
    NERRA_TRACE_BEGIN
    ForEachUserDirectory([](const CDirInfo& directory) {
        // Without ruleset.xml the temporary may hold the only copy, from a save that failed
        // half-way: that one is left for whoever looks after the user.
        if (CFile::ListFiles(directory.path, "ruleset.xml").empty())
            return;
        auto files = CFile::ListFiles(directory.path, "ruleset.xml.???");
        for (const CFileInfo& file : files) {
            if (IsRuleSetTemporary(file.name) && CFile::Remove(file.path))
                CLog::Instance().Warning("RemoveRuleSetTemporaries(): removed %s, left by an interrupted rule set save",
                                         file.path.c_str());
        }
    });
    NERRA_TRACE_END("RemoveRuleSetTemporaries()")
}

void ScheduleDefaultActions()
{
    NERRA_TRACE_BEGIN
    CConfig& config = CConfig::Instance();
    CTimerThread& timer = CTimerThread::Instance();
    timer.PushCallback(std::make_shared<CTimerCallback>(static_cast<int32_t>(config.GetNumber("mail-interval-sec")),
                                                        TimerCallback_RescanUsers, "", true));
    timer.PushCallback(std::make_shared<CTimerCallback>(static_cast<int32_t>(config.GetNumber("spool-interval-sec")),
                                                        TimerCallback_SpoolMessages, "", true));
    timer.PushCallback(std::make_shared<CTimerCallback>(static_cast<int32_t>(config.GetNumber("flush-interval-sec")),
                                                        TimerCallback_FlushRuleSets, "", true));
    NERRA_TRACE_END("ScheduleDefaultActions()")
}

void StartThreads()
{
    NERRA_TRACE_BEGIN
    CConfig& config = CConfig::Instance();
    const CPOP3ServerSettings serverSettings = ReadPOP3ServerSettings();
    CParallelTiming timing;
    timing.workMs = static_cast<uint32_t>(config.GetNumber("parallel-worker-thread-work-ms"));
    timing.sleepMs = static_cast<uint32_t>(config.GetNumber("parallel-worker-thread-sleep-ms"));
    CreateServicePools(static_cast<uint32_t>(config.GetNumber("worker-threads-per-pool")), timing);
    SequentialPool().Start();
    ParallelPool().Start();
    CNetwork::Instance();
    const CInternetPort port(config.GetValue("pop3-port"));
    const CInternetAddress address(config.GetValue("pop3-address"));
    const size_t maxConnections = ReadMaxPOP3Connections();
    CLog::Instance().Info("StartThreads(): the POP3 server serves at most %zu connections at once", maxConnections);
    const int32_t timeout = static_cast<int32_t>(config.GetNumber("incoming-connection-timeout-sec"));
    // Logins are checked apart from the network workers: a slow password hash or an account
    // the console holds must not stall the other sessions of a worker.
    StartPOP3LoginThreads(std::max<uint32_t>(4, static_cast<uint32_t>(config.GetNumber("worker-threads-per-pool"))));
    POP3Listener() = std::make_shared<CPOP3ListenerThread>(address, port, timeout, maxConnections, serverSettings);
    if (config.HasValue("pop3s-port")) {
        CPOP3ServerSettings implicit = serverSettings;
        implicit.implicitTls = true;
        POP3SListener() = std::make_shared<CPOP3ListenerThread>(address, CInternetPort(config.GetValue("pop3s-port")),
                                                                timeout, maxConnections, implicit);
        POP3SListener()->Start();
    }
    POP3Listener()->Start();
    CTimerThread::Instance().Start();
    NERRA_TRACE_END("StartThreads()")
}

void StopThreads()
{
    NERRA_TRACE_BEGIN
    CTimerThread& timer = CTimerThread::Instance();
    timer.Terminate();
    timer.WaitFor(INFINITE_TIMEOUT);
    for (std::shared_ptr<CPOP3ListenerThread>* listener : {&POP3Listener(), &POP3SListener()}) {
        if (*listener) {
            (*listener)->AbortListeningAndTerminate();
            (*listener)->WaitFor(INFINITE_TIMEOUT);
            listener->reset();
        }
    }
    ParallelPool().Stop();
    StopPOP3LoginThreads();
    SequentialPool().Stop();
    NERRA_TRACE_END("StopThreads()")
}

}  // namespace Nerra
