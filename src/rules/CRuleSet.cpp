#include "rules/CRuleSet.h"

#include "core/CXMLDocument.h"
#include "core/TextUtils.h"
#include "core/Trace.h"
#include "message/CMessageHeader.h"
#include "rules/CRule.h"

namespace Nerra {

CSequencer& CSequencer::Instance()
{
    static CSequencer sequencer;
    return sequencer;
}

uint32_t CSequencer::Next()
{
    NERRA_TRACE_BEGIN
    CLockGuard guard(*this);
    if (m_Count == 0xFFFFFFFFu)
        throw CMessageException("The sequence counter has overflowed");
    return ++m_Count;
    NERRA_TRACE_END("CSequencer::Next()")
}

CRuleSet::CRuleSet(const std::string& userName, const std::string& rulesPath, const std::string& schemaPath)
    : m_UserName(userName), m_RulesPath(rulesPath), m_SchemaPath(schemaPath)
{
    NERRA_TRACE_BEGIN
    CXMLDocument document(m_RulesPath);
    document.Validate(m_SchemaPath);
    CXPathContext context(document);
    m_DispatchedMessages = static_cast<int32_t>(context.Eval("/ruleset/@dispatched-messages").GetNumber());
    CXPathObject rules = context.Eval("/ruleset/rules/rule");
    for (size_t i = 0; i < rules.GetNodeCount(); ++i)
        m_Rules->push_back(std::make_shared<CRule>(rules.GetNode(i)));
    NERRA_TRACE_END("CRuleSet::CRuleSet('%s')", userName.c_str())
}

CRuleSet::~CRuleSet()
{
    NERRA_TRACE_BEGIN
    Save();
    NERRA_TRACE_END_CONTINUE("CRuleSet::~CRuleSet()")
}

void CRuleSet::Save()
{
    CLockGuard guard(m_Rules);
    CXMLDocument document("");
    xmlNodePtr root = document.SetRootNode("ruleset");
    SetXmlAttribute(root, "dispatched-messages", Format("%d", m_DispatchedMessages));
    xmlNodePtr rulesNode = AddXmlChild(root, "rules");
    for (auto rule = m_Rules->begin(); rule != m_Rules->end();) {
        if ((*rule)->Save(rulesNode))
            ++rule;
        else
            rule = m_Rules->erase(rule);  // expired rules are dropped at the save
    }
    document.Validate(m_SchemaPath);
    document.SaveTo(m_RulesPath);
}

void CRuleSet::IncrementDispatchedMessages()
{
    NERRA_TRACE_BEGIN
    ++m_DispatchedMessages;
    const uint32_t sequence = CSequencer::Instance().Next();
    if (sequence % 100 == 0)
        CLog::Instance().Info("Messages dispatched this run: %d", static_cast<int>(sequence));
    NERRA_TRACE_END("CRuleSet::IncrementDispatchedMessages()")
}

std::string CRuleSet::DispatchMessage(const std::shared_ptr<CMessageHeader>& header, const std::shared_ptr<CFile>& file)
{
    NERRA_TRACE_BEGIN
    CLockGuard guard(m_Rules);
    CRuleList& rules = m_Rules.Get();
    const char* const pass = file ? "" : " header";
    std::string target;
    bool stoppedEarly = false;
    unsigned evaluations = 0;
    for (auto position = rules.begin(); position != rules.end();) {
        // Held across the dispatch: the rule stays alive (and identifiable) even when one of
        // its actions removes it from the list.
        const std::shared_ptr<CRule> running = *position;
        try {
            if (++evaluations > MAX_RULE_EVALUATIONS)
                throw CMessageException("The walk of the rules took more than %u rule evaluations", MAX_RULE_EVALUATIONS);
            // The stored rule keeps its macros: a message is dispatched through a clone
            // expanded against its header, unless the clone would be the same as the rule.
            std::shared_ptr<CRule> clone = running;
            if (running->NeedsClone()) {
                clone = running->Clone();
                clone->ApplyHeader(*header);
            }
            std::string result = clone->DispatchMessage(*header, file, rules, position);
            if (result == ".")
                throw CMessageException("Rule \"%s\" attempted to dispatch message to a special mailbox \"%s\"",
                                        running->GetDescription().c_str(), result.c_str());
            if (result == "<contents>" && file)
                result.clear();
            if (!result.empty()) {
                // The rule at the position is the one that ran unless an action moved the
                // walk; with the walk moved past the end, the rule that ran is counted.
                (position != rules.end() ? **position : *running).IncrementDispatchedMessages();
                target = result;
                stoppedEarly = true;
                break;
            }
        } catch (...) {
            CLog::Instance().Error("CRuleSet::DispatchMessage(%s): exception caught when passing message%s to rule "
                                   "'%s', dispatching message to spam mailbox: %s",
                                   m_UserName.c_str(), pass, running->GetDescription().c_str(),
                                   CurrentFailureText().c_str());
            target = "spam";
            stoppedEarly = true;
            break;
        }
        if (position != rules.end() && position->get() == running.get())
            ++position;
    }
    IncrementDispatchedMessages();
    if (header->GetValueCount("x-nerra-training-mailbox") > 0) {
        if (stoppedEarly)
            throw CMessageException("In training mode the ruleset should have come up with no result");
        return header->GetValue("x-nerra-training-mailbox", 0);
    }
    if (!stoppedEarly) {
        CLog::Instance().Warning("CRuleSet::DispatchMessage(%s): message%s was not accepted by any rule, dispatching "
                                 "message to spam mailbox",
                                 m_UserName.c_str(), pass);
        return "spam";
    }
    return target;
    NERRA_TRACE_END("CRuleSet::DispatchMessage(" NERRA_PTR ", " NERRA_PTR ")", NERRA_PTR_ARG(header.get()),
                    NERRA_PTR_ARG(file.get()))
}

}  // namespace Nerra
