#include "rules/CRule.h"

#include "core/CFile.h"
#include "core/CXMLDocument.h"
#include "core/TextUtils.h"
#include "core/Trace.h"
#include "message/CMessageHeader.h"
#include "rules/CDispatchTrace.h"
#include "rules/CMatch.h"
#include "rules/CRuleCheck.h"

namespace Nerra {

CRule::CRule(xmlNodePtr element)
{
    NERRA_TRACE_BEGIN
    CXPathContext context(element);
    m_Description = context.Eval("@description").GetText();
    m_ApplyHeader = ParseBoolean(context.Eval("@apply-header").GetText());
    m_DispatchedMessages = static_cast<int32_t>(context.Eval("@dispatched-messages").GetNumber());
    m_Enabled = ParseBoolean(context.Eval("@enabled").GetText());
    m_Expires = context.Eval("@expires").GetText();
    m_Id = context.Eval("@id").GetText();
    m_Trainable = ParseBoolean(context.Eval("@trainable").GetText());
    CXPathObject matches = context.Eval("matches/match");
    for (size_t i = 0; i < matches.GetNodeCount(); ++i)
        m_Matches.push_back(CMatch::Create(matches.GetNode(i)));
    CXPathObject actions = context.Eval("actions/action");
    for (size_t i = 0; i < actions.GetNodeCount(); ++i)
        m_Actions.push_back(CAction::Create(actions.GetNode(i)));
    if (m_Actions.empty())
        throw CMessageException("No actions under rule '%s'", m_Description.c_str());
    NERRA_TRACE_END("CRule::CRule(" NERRA_PTR ")", NERRA_PTR_ARG(element))
}

bool CRule::Expired()
{
    NERRA_TRACE_BEGIN
    if (m_ExpiryTime == 0) {
        if (CMessageHeader::ContainsApplicableMacros(m_Expires))
            return false;  // a template's expiry becomes concrete when it is expanded
        if (m_ExpiryCache->time == 0 || m_ExpiryCache->text != m_Expires) {
            m_ExpiryCache->time = StringToTime(m_Expires);
            m_ExpiryCache->text = m_Expires;
        }
        m_ExpiryTime = m_ExpiryCache->time;
    }
    return m_ExpiryTime < time(nullptr);
    NERRA_TRACE_END("CRule::Expired()")
}

bool CRule::Save(xmlNodePtr rules)
{
    NERRA_TRACE_BEGIN
    // An expiry that cannot be read is the administrator's to correct: the rule is kept as
    // written, so one bad attribute does not keep every other update from reaching the file.
    if (!CMessageHeader::ContainsApplicableMacros(m_Expires) && !MatchesWhole(m_Expires, DateTimePattern)) {
        CLog::Instance().Warning("CRule::Save(): rule '%s' has an unreadable expiry '%s', it is saved as it is",
                                 m_Description.c_str(), m_Expires.c_str());
        Write(rules);
        return true;
    }
    if (Expired())
        return false;
    Write(rules);
    return true;
    NERRA_TRACE_END("CRule::Save(" NERRA_PTR ")", NERRA_PTR_ARG(rules))
}

void CRule::Write(xmlNodePtr parent) const
{
    NERRA_TRACE_BEGIN
    xmlNodePtr rule = AddXmlChild(parent, "rule");
    SetXmlAttribute(rule, "description", m_Description);
    SetXmlAttribute(rule, "expires", m_Expires);
    SetXmlAttribute(rule, "apply-header", m_ApplyHeader ? "true" : "false");
    SetXmlAttribute(rule, "enabled", m_Enabled ? "true" : "false");
    SetXmlAttribute(rule, "dispatched-messages", Format("%d", m_DispatchedMessages));
    SetXmlAttribute(rule, "id", m_Id);
    SetXmlAttribute(rule, "trainable", m_Trainable ? "true" : "false");
    xmlNodePtr matches = AddXmlChild(rule, "matches");
    for (const auto& match : m_Matches)
        match->Save(AddXmlChild(matches, "match"));
    xmlNodePtr actions = AddXmlChild(rule, "actions");
    for (const auto& action : m_Actions)
        action->Save(AddXmlChild(actions, "action"));
    NERRA_TRACE_END("CRule::Write(" NERRA_PTR ")", NERRA_PTR_ARG(parent))
}

void CRule::Check(CRuleCheck& check) const
{
    check.rule = m_Description;
    if (!CMessageHeader::ContainsApplicableMacros(m_Expires) && !MatchesWhole(m_Expires, DateTimePattern))
        check.Add("unreadable expiry '" + m_Expires + "'");
    for (const auto& match : m_Matches)
        match->Check(check);
    for (const auto& action : m_Actions)
        action->Check(check);
}

std::shared_ptr<CRule> CRule::Clone() const
{
    NERRA_TRACE_BEGIN
    std::shared_ptr<CRule> clone(new CRule());
    clone->m_Id = m_Id;
    clone->m_Description = m_Description;
    clone->m_Expires = m_Expires;
    clone->m_ApplyHeader = m_ApplyHeader;
    clone->m_DispatchedMessages = m_DispatchedMessages;
    clone->m_Enabled = m_Enabled;
    clone->m_Trainable = m_Trainable;
    clone->m_ExpiryCache = m_ExpiryCache;
    clone->m_Matches.reserve(m_Matches.size());
    for (const auto& match : m_Matches)
        clone->m_Matches.push_back(match->Clone());
    clone->m_Actions.reserve(m_Actions.size());
    for (const auto& action : m_Actions)
        clone->m_Actions.push_back(action->Clone());
    return clone;
    NERRA_TRACE_END("CRule::Clone()")
}

bool CRule::NeedsClone() const
{
    if (m_ApplyHeader)
        return true;
    for (const auto& action : m_Actions)
        if (action->EditsRuleList())
            return true;
    return false;
}

void CRule::ApplyHeader(const CMessageHeader& header)
{
    NERRA_TRACE_BEGIN
    if (!m_ApplyHeader)
        return;
    m_Description = header.Apply(m_Description);
    m_Expires = header.Apply(m_Expires);
    m_Id = header.Apply(m_Id);
    for (const auto& match : m_Matches)
        match->ApplyHeader(header);
    for (const auto& action : m_Actions)
        action->ApplyHeader(header);
    NERRA_TRACE_END("CRule::ApplyHeader(" NERRA_PTR ")", NERRA_PTR_ARG(&header))
}

std::string CRule::DispatchMessage(const CMessageHeader& header, const std::shared_ptr<CFile>& file, CRuleList& rules,
                                   CRuleList::iterator& position, CDispatchTrace* trace)
{
    NERRA_TRACE_BEGIN
    CDispatchTrace::CRuleStep* step = trace ? &trace->rules.back() : nullptr;
    const bool training = header.GetValueCount("x-nerra-training-mailbox") > 0;
    const char* skipped = !m_Enabled ? "disabled" : Expired() ? "expired" : training && !m_Trainable ? "not trainable" : nullptr;
    if (skipped) {
        if (step)
            step->skipped = skipped;
        return std::string();
    }
    for (const auto& match : m_Matches) {
        std::string detail;
        const bool accepted = match->Match(file, header, step ? &detail : nullptr);
        if (step)
            step->matches.push_back({match->GetHandler(), accepted, detail});
        if (!accepted)
            return std::string();
    }
    if (step)
        step->accepted = true;
    for (const auto& action : m_Actions) {
        std::string mailbox = action->Activate(header, file, rules, position);
        if (step)
            step->actions.push_back({action->GetHandler(), action->Describe(), mailbox});
        if (!mailbox.empty()) {
            if (training)
                throw CMessageException("An action returned non-empty mailbox name in training mode");
            return mailbox;
        }
    }
    return std::string();
    NERRA_TRACE_END("CRule::DispatchMessage('%s', " NERRA_PTR ", " NERRA_PTR ")", m_Description.c_str(),
                    NERRA_PTR_ARG(&header), NERRA_PTR_ARG(file.get()))
}

}  // namespace Nerra
