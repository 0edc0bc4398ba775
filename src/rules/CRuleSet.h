#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "rules/CAction.h"
#include "runtime/CLock.h"

namespace Nerra {

// Counts the messages dispatched since the process started; its own lock.
class CSequencer : public CLock {
public:
    static CSequencer& Instance();
    uint32_t Next();

private:
    uint32_t m_Count = 0;
};

// A user's rule set, loaded from its file and checked against its schema. It decides the
// mailbox of each message and writes itself back, with its counters and without its expired
// rules, when it is destroyed.
class CRuleSet {
public:
    // A message may make at most this many rule evaluations: rules that restart the walk or
    // keep inserting rules for the same message would otherwise hold a worker for good.
    static constexpr unsigned MAX_RULE_EVALUATIONS = 10000;

    // The user names the rule set in log lines.
    CRuleSet(const std::string& userName, const std::string& rulesPath, const std::string& schemaPath);
    ~CRuleSet();
    CRuleSet(const CRuleSet&) = delete;
    CRuleSet& operator=(const CRuleSet&) = delete;

    // The target mailbox: a name, "spam" when no rule accepted the message or a rule failed,
    // or "<contents>" from the header-only pass (no file) to ask for a pass with the file.
    std::string DispatchMessage(const std::shared_ptr<CMessageHeader>& header, const std::shared_ptr<CFile>& file);

    void IncrementDispatchedMessages();

private:
    void Save();

    std::string m_UserName;
    std::string m_RulesPath;
    std::string m_SchemaPath;
    CLocked<CRuleList> m_Rules;
    int32_t m_DispatchedMessages = 0;
};

}  // namespace Nerra
