#include "mail/CPOP3Login.h"

#include "core/CFile.h"
#include "core/CLog.h"
#include "core/TextUtils.h"
#include "core/Trace.h"
#include "mail/CPOP3StoreMaildrop.h"
#include "mail/CUserXML.h"
#include "mail/LockPools.h"
#include "mail/MailStore.h"
#include "runtime/CWorkerThreadPool.h"

namespace Nerra {

namespace {

std::unique_ptr<CWorkerThreadPool<CSequentialWorkUnit>> g_LoginPool;

EPOP3Login Authenticate(const CPOP3Credentials& credentials, const std::string& peer, uint32_t accountWaitMs)
{
    std::shared_ptr<CUserXML> user;
    std::string failure;
    // Only an account that exists is loaded: a name a client makes up must leave nothing
    // behind in the account cache. The client learns only that the login failed.
    try {
        if (IsInsideMailDirectory(UserDirectory(credentials.user)) &&
            CFile::GetKind(CUserXML::PathFor(credentials.user)) == CFile::RegularFile) {
            user = UserPool().GetObject(credentials.user, accountWaitMs);
            if (!user) {
                CLog::Instance().Warning("CPOP3ServerConnection::AuthenticateLockMailBox('%s'): the account stayed "
                                         "locked for %u ms, login from %s refused for now",
                                         credentials.user.c_str(), accountWaitMs, peer.c_str());
                return EPOP3Login::AccountBusy;
            }
        }
    } catch (...) {
        failure = ": " + CurrentFailureText();
    }
    if (!user) {
        CLog::Instance().Warning("CPOP3ServerConnection::AuthenticateLockMailBox('%s'): failed to access user "
                                 "configuration file, ignoring error and returning auth failure%s",
                                 credentials.user.c_str(), failure.c_str());
        return EPOP3Login::Refused;
    }
    // An account without a POP3 password cannot log in; a broken handler description is
    // the account's fault and fails the login.
    xmlNodePtr element = CXPathContext(*user).Eval("/user/pop3-server/authentication").GetNodePtr();
    if (!element || !CAuthentication::Create(element)->Authenticate(credentials.user, credentials.password)) {
        CLog::Instance().Warning("CPOP3ServerConnection::AuthenticateLockMailBox(): authentication failed for user %s "
                                 "from %s",
                                 credentials.user.c_str(), peer.c_str());
        return EPOP3Login::Refused;
    }
    return EPOP3Login::Accepted;
}

}  // namespace

CPOP3LoginOutcome CheckPOP3Login(const CPOP3Credentials& credentials, const std::string& peer, uint32_t accountWaitMs)
{
    CPOP3LoginOutcome outcome;
    // A broken account description is the account's fault and refuses the login; a
    // mailbox that cannot be read may be readable again soon.
    outcome.result = EPOP3Login::AccountBroken;
    try {
        outcome.result = Authenticate(credentials, peer, accountWaitMs);
        if (outcome.result != EPOP3Login::Accepted)
            return outcome;
        outcome.result = EPOP3Login::Failed;
        outcome = CPOP3StoreMaildrop::Open(MailBoxDirectory(credentials.user, credentials.mailbox));
    } catch (...) {
        LogFailure("CheckPOP3Login('%s'): login from %s failed", credentials.user.c_str(), peer.c_str());
        outcome.maildrop.reset();
        return outcome;
    }
    if (outcome.result == EPOP3Login::Accepted)
        CLog::Instance().Info("CPOP3ServerConnection::ProcessClientRequestAuthState: user %s logged in from %s",
                              credentials.user.c_str(), peer.c_str());
    else if (outcome.result == EPOP3Login::InUse || outcome.result == EPOP3Login::NoMailbox)
        CLog::Instance().Warning("CPOP3ServerConnection::AuthenticateLockMailBox(): user %s authenticated from %s but "
                                 "the mailbox was busy",
                                 credentials.user.c_str(), peer.c_str());
    return outcome;
}

CPOP3LoginJob::CPOP3LoginJob(CPOP3Credentials credentials, std::string peer)
    : CSequentialWorkUnit(Format("CPOP3LoginJob(%s, " NERRA_PTR ")", peer.c_str(), NERRA_PTR_ARG(this))),
      m_Credentials(std::move(credentials)),
      m_Peer(std::move(peer))
{
}

void CPOP3LoginJob::Process()
{
    m_Outcome = CheckPOP3Login(m_Credentials, m_Peer);
    m_Done.store(true, std::memory_order_release);
    m_DoneEvent.Set();
}

void StartPOP3LoginThreads(uint32_t count)
{
    g_LoginPool = std::make_unique<CWorkerThreadPool<CSequentialWorkUnit>>(count);
    g_LoginPool->Start();
}

void StopPOP3LoginThreads()
{
    if (g_LoginPool)
        g_LoginPool->Stop();
    g_LoginPool.reset();
}

void PushPOP3Login(const std::shared_ptr<CPOP3LoginJob>& job)
{
    if (!g_LoginPool)
        throw CMessageException("The POP3 login threads are not running");
    g_LoginPool->PushWorkUnit(job, false);
}

}  // namespace Nerra
