#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "rules/CDispatchDecision.h"
#include "runtime/CInFlight.h"
#include "runtime/CLock.h"
#include "runtime/CWorkUnit.h"

namespace Nerra {

class CEvent;
class CFile;
class CMessageHeader;
class CUserXML;

// Carries one message through its owner's rule set and files it. A fetched message makes
// two passes: the first decides on the header alone (before the message is downloaded),
// the second files the downloaded file. A spooled message skips the first pass.
class CPOP3ClientMessage : public CSequentialWorkUnit {
public:
    CPOP3ClientMessage(const std::string& userName, const std::shared_ptr<CUserXML>& user);
    ~CPOP3ClientMessage() override;

    // Messages created and not yet destroyed, in any stage of processing; the spool job
    // waits on it for its backlog to drain.
    static CInFlight& InFlight();

    void SetMessageSize(uint32_t size);
    // Keeps the header text and gives the message its id.
    void SetMessageHeader(const std::string& text);
    void AttachMessageFile(const std::string& path);
    void AttachMessageFile(std::shared_ptr<CFile> file) { m_File = std::move(file); }
    // Makes the only pass parse the header and dispatch with the file.
    void SkipFirstPass();
    void AddHeaderValue(const std::string& name, const std::string& value);
    // The decision of the last pass; the fetch connection reads it once the first pass is done.
    CDispatchDecision GetDecision() const;
    const std::string& GetMessageId() const { return m_MessageId; }

    void CreateFirstPassEvent();
    bool IsFirstPassDone() const;
    // Polls readable once the first pass is done; -1 without a first-pass event.
    int GetFirstPassPollHandle() const;
    void ReleaseFirstPassEvent();

    void Process() override;

private:
    void ParseMessageHeader();
    void ParseMessageFile();
    void Dispatch();
    void MoveToTargetMailbox();
    void MoveToFallback(const std::string& source, const std::string& userDirectory, const std::string& target);
    void SetDecision(const CDispatchDecision& decision);

    const std::string m_UserName;
    const std::shared_ptr<CUserXML> m_User;
    int m_Pass = 0;
    uint32_t m_Size = 0;
    std::string m_HeaderText;
    std::string m_MessageId;
    std::shared_ptr<CMessageHeader> m_Header;
    // Fields added before the header is parsed, added to it when it is.
    std::vector<std::pair<std::string, std::string>> m_PendingValues;
    std::shared_ptr<CFile> m_File;
    std::shared_ptr<CEvent> m_FirstPassEvent;
    // The fetch connection reads the decision from another thread once the first pass is done.
    mutable CLock m_DecisionLock;
    CDispatchDecision m_Decision;
    std::string m_TargetFileName;
};

}  // namespace Nerra
