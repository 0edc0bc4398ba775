#include "mail/FetchJobs.h"

#include <algorithm>
#include <memory>

#include "core/CConfig.h"
#include "core/TextUtils.h"
#include "core/Trace.h"
#include "mail/CPOP3ClientConnection.h"
#include "mail/LockPools.h"
#include "mail/MailStore.h"
#include "runtime/CTimerThread.h"
#include "runtime/CWorkerThreadPool.h"

namespace Nerra {

namespace {

// The timer thread's own generator, as a standard random bit source for std::shuffle.
struct CThreadRandomSource {
    using result_type = unsigned;
    static constexpr result_type min() { return 0; }
    static constexpr result_type max() { return 32767; }
    result_type operator()() { return static_cast<result_type>(ThreadRand()); }
};

}  // namespace

std::vector<std::pair<std::string, int32_t>> PlanUserFetches(const std::vector<CDirInfo>& directories, long intervalSeconds)
{
    const double spacing = static_cast<double>(intervalSeconds) / static_cast<double>(directories.size() + 1);
    std::vector<std::pair<std::string, int32_t>> plan;
    for (const CDirInfo& directory : directories) {
        if (!MatchesWhole(directory.name, WordPattern))
            continue;
        plan.emplace_back(directory.name, static_cast<int32_t>(static_cast<double>(plan.size()) * spacing));
    }
    return plan;
}

void TimerCallback_RescanUsers(const std::string& argument)
{
    NERRA_TRACE_BEGIN
    auto listed = CFile::ListDirectories(CConfig::Instance().GetValue("mail-directory"), "*");
    CThreadRandomSource random;
    std::shuffle(listed.begin(), listed.end(), random);
    for (const auto& [user, delay] : PlanUserFetches(listed, CConfig::Instance().GetNumber("mail-interval-sec")))
        CTimerThread::Instance().PushCallback(
            std::make_shared<CTimerCallback>(delay, TimerCallback_InitiateUserPOP3Session, user, false));
    NERRA_TRACE_END("TimerCallback_RescanUsers('%s')", argument.c_str())
}

void TimerCallback_InitiateUserPOP3Session(const std::string& argument)
{
    NERRA_TRACE_BEGIN
    // Downloads go into the user's .raw: neither it nor the user directory may lead out of
    // the mail store.
    const std::string directory = UserDirectory(argument);
    if (!IsInsideMailDirectory(directory) || !IsInsideMailDirectory(directory + "/.raw"))
        return;
    const std::shared_ptr<CUserXML> user = UserPool().GetObject(argument);
    const std::vector<CRemoteAccountEntry> accounts = ReadRemoteAccounts(*user);
    if (accounts.empty()) {
        CLog::Instance().Warning("TimerCallback_InitiateUserPOP3Session('%s'): no POP3 servers defined",
                                 argument.c_str());
        return;
    }
    for (size_t i = 0; i < accounts.size(); ++i) {
        // One broken entry must not keep the user's other mailboxes from being fetched.
        try {
            if (!accounts[i].failure.empty())
                throw CMessageException("%s", accounts[i].failure.c_str());
            auto connection = std::make_shared<CPOP3ClientConnection>(accounts[i].account, argument, user);
            // Sticky: a second connection to the same mailbox meets the first on its thread
            // and is refused while the first still runs.
            ParallelPool().PushWorkUnit(connection, true);
        } catch (...) {
            CLog::Instance().Error("TimerCallback_InitiateUserPOP3Session('%s'): POP3 client %u is skipped: %s",
                                   argument.c_str(), static_cast<unsigned>(i + 1), CurrentFailureText().c_str());
        }
    }
    NERRA_TRACE_END("TimerCallback_InitiateUserPOP3Session('%s')", argument.c_str())
}

}  // namespace Nerra
