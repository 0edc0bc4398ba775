#include "mail/CPOP3ClientMessage.h"

#include <atomic>

#include "core/CConfig.h"
#include "core/CFile.h"
#include "core/TextUtils.h"
#include "core/Trace.h"
#include "mail/FilingHeader.h"
#include "mail/LockPools.h"
#include "mail/MailStore.h"
#include "message/CMessageHeader.h"
#include "runtime/CEvent.h"

namespace Nerra {

namespace {


}  // namespace

CPOP3ClientMessage::CPOP3ClientMessage(const std::string& userName, const std::shared_ptr<CUserXML>& user)
    : CSequentialWorkUnit(Format("CPOP3ClientMessage(%s, " NERRA_PTR ")", userName.c_str(), NERRA_PTR_ARG(this))),
      m_UserName(userName),
      m_User(user)
{
    InFlight().Add();
}

CPOP3ClientMessage::~CPOP3ClientMessage() { InFlight().Remove(); }

CInFlight& CPOP3ClientMessage::InFlight()
{
    static CInFlight messages;
    return messages;
}

void CPOP3ClientMessage::SetMessageSize(uint32_t size) { m_Size = size; }

void CPOP3ClientMessage::SetMessageHeader(const std::string& text)
{
    NERRA_TRACE_BEGIN
    m_HeaderText = text;
    m_MessageId = NewMessageId(text);
    NERRA_TRACE_END("CPOP3ClientMessage::SetMessageHeader('%s')", text.c_str())
}

void CPOP3ClientMessage::AttachMessageFile(const std::string& path)
{
    NERRA_TRACE_BEGIN
    m_File = std::make_shared<CFile>(path, CFile::Reading, CFile::MustExist);
    NERRA_TRACE_END("CPOP3ClientMessage::AttachMessageFile('%s')", path.c_str())
}

void CPOP3ClientMessage::SkipFirstPass()
{
    NERRA_TRACE_BEGIN
    // The header is parsed by the pass itself, on a worker: the spool job that calls this runs
    // on the one timer thread, which would otherwise limit how fast a backlog is filtered.
    m_Pass = 1;
    SetDecision(CDispatchDecision::NeedsContents());
    NERRA_TRACE_END("CPOP3ClientMessage::SkipFirstPass()")
}

void CPOP3ClientMessage::AddHeaderValue(const std::string& name, const std::string& value)
{
    if (m_Header)
        m_Header->AddValue(name, value);
    else
        m_PendingValues.emplace_back(name, value);
}

CDispatchDecision CPOP3ClientMessage::GetDecision() const
{
    CLockGuard guard(m_DecisionLock);
    return m_Decision;
}

void CPOP3ClientMessage::SetDecision(const CDispatchDecision& decision)
{
    CLockGuard guard(m_DecisionLock);
    m_Decision = decision;
}

void CPOP3ClientMessage::CreateFirstPassEvent() { m_FirstPassEvent = std::make_shared<CEvent>(true); }

bool CPOP3ClientMessage::IsFirstPassDone() const { return m_FirstPassEvent && m_FirstPassEvent->Wait(0); }

int CPOP3ClientMessage::GetFirstPassPollHandle() const
{
    return m_FirstPassEvent ? m_FirstPassEvent->GetPollHandle() : -1;
}

void CPOP3ClientMessage::ReleaseFirstPassEvent() { m_FirstPassEvent.reset(); }

void CPOP3ClientMessage::ParseMessageHeader()
{
    NERRA_TRACE_BEGIN
    auto header = BuildFilingHeader(m_HeaderText, m_Size, m_MessageId, m_UserName, m_User.get());
    for (const auto& [name, value] : m_PendingValues)
        header->AddValue(name, value);
    m_PendingValues.clear();
    m_Header = header;
    NERRA_TRACE_END("CPOP3ClientMessage::ParseMessageHeader('%s')", m_HeaderText.c_str())
}

void CPOP3ClientMessage::ParseMessageFile()
{
    NERRA_TRACE_BEGIN
    m_TargetFileName = MessageFileName(m_MessageId);
    NERRA_TRACE_END("CPOP3ClientMessage::ParseMessageFile('%s')", m_File ? m_File->GetPath().c_str() : "")
}

void CPOP3ClientMessage::Dispatch()
{
    NERRA_TRACE_BEGIN
    std::shared_ptr<CRuleSet> ruleSet = RuleSetPool().GetObject(m_UserName);
    SetDecision(ruleSet->DispatchMessage(m_Header, m_File));
    NERRA_TRACE_END("CPOP3ClientMessage::Dispatch()")
}

void CPOP3ClientMessage::MoveToTargetMailbox()
{
    NERRA_TRACE_BEGIN
    const std::string source = m_File ? m_File->GetPath() : std::string();
    m_File.reset();
    const CDispatchDecision decision = GetDecision();
    if (decision.IsDelete()) {
        if (CFile::Remove(source))
            CLog::Instance().Info("CPOP3ClientMessage::MoveToTargetMailbox(): message %s of user %s deleted",
                                  m_MessageId.c_str(), m_UserName.c_str());
        else
            CLog::Instance().Warning("CPOP3ClientMessage::MoveToTargetMailbox(): failed to delete file %s", source.c_str());
        return;
    }
    // A pass with the file never asks for the file again; were it to, the request is no mailbox.
    std::string target = decision.NeedsWholeMessage() ? "<contents>" : decision.GetMailbox();
    // Names come from rule texts and scripts, possibly from header values: only a plain
    // mailbox name may become a path, and only such a mailbox can be read by a mail client.
    if (!MatchesWhole(target, WordPattern)) {
        CLog::Instance().Warning("CPOP3ClientMessage::MoveToTargetMailbox(): invalid mailbox name '%s', filing "
                                 "message %s into spam",
                                 target.c_str(), source.c_str());
        target = SPAM_MAILBOX;
    }
    const std::string userDirectory = UserDirectory(m_UserName);
    const std::string destination = MailBoxDirectory(m_UserName, target) + "/" + m_TargetFileName;
    // A mailbox that leads out of the mail store would put mail anywhere on the host: it
    // fails the move like a mailbox without a directory.
    if (IsInsideMailDirectory(MailBoxDirectory(m_UserName, target)) && CFile::Move(source, destination)) {
        CLog::Instance().Info("CPOP3ClientMessage::MoveToTargetMailbox(): message %s of user %s filed into %s",
                              m_MessageId.c_str(), m_UserName.c_str(), target.c_str());
        return;
    }
    CLog::Instance().Warning("CPOP3ClientMessage::MoveToTargetMailbox(): failed to move file %s to it's target "
                             "mailbox at %s",
                             source.c_str(), destination.c_str());
    MoveToFallback(source, userDirectory, target);
    NERRA_TRACE_END("CPOP3ClientMessage::MoveToTargetMailbox()")
}

void CPOP3ClientMessage::MoveToFallback(const std::string& source, const std::string& userDirectory,
                                        const std::string& target)
{
    // Nothing looks at .raw until the next start: a message whose mailbox has no directory
    // goes to spam, and back to the spool when even spam cannot take it.
    if (target != SPAM_MAILBOX) {
        const std::string spam = MailBoxDirectory(m_UserName, SPAM_MAILBOX) + "/" + m_TargetFileName;
        if (IsInsideMailDirectory(MailBoxDirectory(m_UserName, SPAM_MAILBOX)) && CFile::Move(source, spam)) {
            CLog::Instance().Warning("CPOP3ClientMessage::MoveToTargetMailbox(): message %s of user %s filed into "
                                     "spam instead of %s",
                                     m_MessageId.c_str(), m_UserName.c_str(), target.c_str());
            return;
        }
    }
    const std::string spool = SpoolDirectory(userDirectory) + "/" + source.substr(source.rfind('/') + 1);
    if (IsInsideMailDirectory(SpoolDirectory(userDirectory)) && CFile::Move(source, spool)) {
        CLog::Instance().Warning("CPOP3ClientMessage::MoveToTargetMailbox(): message %s of user %s returned to the "
                                 "spool as %s",
                                 m_MessageId.c_str(), m_UserName.c_str(), spool.c_str());
        return;
    }
    // The next start puts it back into the spool.
    CLog::Instance().Warning("CPOP3ClientMessage::MoveToTargetMailbox(): message %s of user %s stays in %s",
                             m_MessageId.c_str(), m_UserName.c_str(), source.c_str());
}

void CPOP3ClientMessage::Process()
{
    NERRA_TRACE_BEGIN
    if (m_Pass == 0) {
        try {
            ParseMessageHeader();
            Dispatch();
        } catch (...) {
            LogFailure("CPOP3ClientMessage::Process(): message %s of user %s goes to spam", m_MessageId.c_str(),
                       m_UserName.c_str());
            SetDecision(CDispatchDecision::Spam("filtering failed: " + CurrentExceptionText()));
        }
        // The pass is advanced before the event tells the fetch connection it may push the
        // unit again for its second pass, possibly onto another thread.
        m_Pass = 1;
        // The connection may drop its reference to the event as soon as it is set.
        if (const std::shared_ptr<CEvent> event = m_FirstPassEvent)
            event->Set();
    } else if (m_Pass == 1) {
        try {
            if (!m_Header)
                ParseMessageHeader();
            ParseMessageFile();
            if (GetDecision().NeedsWholeMessage())
                Dispatch();
        } catch (...) {
            LogFailure("CPOP3ClientMessage::Process(): message %s of user %s goes to spam", m_MessageId.c_str(),
                       m_UserName.c_str());
            SetDecision(CDispatchDecision::Spam("filtering failed: " + CurrentExceptionText()));
        }
        MoveToTargetMailbox();
    } else {
        throw CMessageException("not reached");
    }
    NERRA_TRACE_END("CPOP3ClientMessage::Process()")
}

}  // namespace Nerra
