#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "rules/CAction.h"
#include "rules/CDispatchDecision.h"
#include "runtime/CLock.h"

namespace Nerra {

// Counts the messages dispatched since the process started; its own lock.
struct CDispatchTrace;
struct CRuleCheck;

class CSequencer : public CLock {
public:
    static CSequencer& Instance();
    uint32_t Next();

private:
    uint32_t m_Count = 0;
};

// A user's rule set, loaded from its file and checked against its schema. It decides the
// mailbox of each message and writes itself back, with its counters and without its expired
// rules, when it is destroyed, unless the file was changed on disk since it was loaded: then
// the edit wins and the cached copy is dropped.
class CRuleSet {
public:
    // A message may make at most this many rule evaluations: rules that restart the walk or
    // keep inserting rules for the same message would otherwise hold a worker for good.
    static constexpr unsigned MAX_RULE_EVALUATIONS = 10000;

    // Whether the rule set writes itself back when it is destroyed. A read-only one (a tool's
    // look at the rules) may edit its rules in memory while it walks them, and forgets them.
    enum class Persistence { SaveOnRelease, ReadOnly };

    // The user names the rule set in log lines.
    CRuleSet(const std::string& userName, const std::string& rulesPath, const std::string& schemaPath,
             Persistence persistence = Persistence::SaveOnRelease);
    ~CRuleSet();
    CRuleSet(const CRuleSet&) = delete;
    CRuleSet& operator=(const CRuleSet&) = delete;

    // Walks the rules for a message. Without a file (the header-only pass) a rule may ask for
    // the whole message; with a file that request is passed over. A trace, when given,
    // records every rule on the way and the decision.
    CDispatchDecision DispatchMessage(const std::shared_ptr<CMessageHeader>& header, const std::shared_ptr<CFile>& file,
                                      CDispatchTrace* trace = nullptr);

    void IncrementDispatchedMessages();

    // Looks over every rule without running it (see CRuleCheck).
    void Check(CRuleCheck& check);

private:
    void Save();
    std::optional<CDispatchDecision> Walk(const CMessageHeader& header, const std::shared_ptr<CFile>& file, CDispatchTrace* trace);

    std::string m_UserName;
    std::string m_RulesPath;
    std::string m_SchemaPath;
    Persistence m_Persistence;
    // The digest of the file as it was loaded: a file that differs at the save was edited.
    std::string m_LoadedDigest;
    CLocked<CRuleList> m_Rules;
    int32_t m_DispatchedMessages = 0;
    int32_t m_LoadedDispatchedMessages = 0;
};

}  // namespace Nerra
