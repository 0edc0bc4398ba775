#include "rules/CAction.h"

#include "core/CFile.h"
#include "core/CXMLDocument.h"
#include "core/TextUtils.h"
#include "core/Trace.h"
#include "message/CMessageHeader.h"
#include "rules/CMatch.h"
#include "rules/CRule.h"
#include "rules/CRuleCheck.h"

namespace Nerra {

namespace {
const char* const METHOD_NAMES[] = {"insert-first", "insert-before", "insert-after", "insert-last",
                                    "delete-current", "move-first", "move-end", "move-next"};
}  // namespace

std::shared_ptr<CAction> CAction::Create(xmlNodePtr element)
{
    NERRA_TRACE_BEGIN
    const std::string handler = CXPathContext(element).Eval("@handler").GetText();
    std::shared_ptr<CAction> action;
    if (handler == "dispatch")
        action = std::make_shared<CDispatchAction>();
    else if (handler == "ruleset")
        action = std::make_shared<CRulesetAction>();
    else if (handler == "python")
        action = std::make_shared<CPythonAction>();
    else
        throw CMessageException("Invalid action handler attribute: '%s'", handler.c_str());
    action->Load(element);
    return action;
    NERRA_TRACE_END("CAction::Create(" NERRA_PTR ")", NERRA_PTR_ARG(element))
}

void CAction::Load(xmlNodePtr element)
{
    NERRA_TRACE_BEGIN
    m_Handler = CXPathContext(element).Eval("@handler").GetText();
    NERRA_TRACE_END("CAction::Load(" NERRA_PTR ")", NERRA_PTR_ARG(element))
}

void CAction::Save(xmlNodePtr element) const
{
    NERRA_TRACE_BEGIN
    SetXmlAttribute(element, "handler", m_Handler);
    NERRA_TRACE_END("CAction::Save(" NERRA_PTR ")", NERRA_PTR_ARG(element))
}

void CAction::CopyTo(CAction& target) const
{
    target.m_Handler = m_Handler;
}

void CDispatchAction::Load(xmlNodePtr element)
{
    NERRA_TRACE_BEGIN
    CAction::Load(element);
    m_Mailbox = CXPathContext(element).Eval("@mailbox").GetText();
    if (m_Mailbox.empty())
        throw CMessageException("Invalid or missing action attribute mailbox");
    NERRA_TRACE_END("CDispatchAction::Load(" NERRA_PTR ")", NERRA_PTR_ARG(element))
}

void CDispatchAction::Save(xmlNodePtr element) const
{
    NERRA_TRACE_BEGIN
    CAction::Save(element);
    SetXmlAttribute(element, "mailbox", m_Mailbox);
    NERRA_TRACE_END("CDispatchAction::Save(" NERRA_PTR ")", NERRA_PTR_ARG(element))
}

std::shared_ptr<CAction> CDispatchAction::Clone() const
{
    NERRA_TRACE_BEGIN
    auto clone = std::make_shared<CDispatchAction>();
    CAction::CopyTo(*clone);
    clone->m_Mailbox = m_Mailbox;
    return clone;
    NERRA_TRACE_END("CDispatchAction::Clone()")
}

void CDispatchAction::ApplyHeader(const CMessageHeader& header)
{
    NERRA_TRACE_BEGIN
    m_Mailbox = header.Apply(m_Mailbox);
    NERRA_TRACE_END("CDispatchAction::ApplyHeader(" NERRA_PTR ")", NERRA_PTR_ARG(&header))
}

std::string CDispatchAction::Activate(const CMessageHeader&, const std::shared_ptr<CFile>& file, CRuleList&, CRuleList::iterator&)
{
    NERRA_TRACE_BEGIN
    return m_Mailbox;
    NERRA_TRACE_END("CDispatchAction::Activate('%s', " NERRA_PTR ")", m_Mailbox.c_str(), NERRA_PTR_ARG(file.get()))
}

std::string CDispatchAction::Describe() const { return "dispatch to '" + m_Mailbox + "'"; }

void CDispatchAction::Check(CRuleCheck& check) const
{
    // A name made from the message's header is only known per message.
    if (CMessageHeader::ContainsApplicableMacros(m_Mailbox) || m_Mailbox == "<delete>" || m_Mailbox == "<contents>")
        return;
    if (!MatchesWhole(m_Mailbox, WordPattern))
        check.Add("invalid mailbox name '" + m_Mailbox + "'");
    else if (!check.mailboxExists(m_Mailbox))
        check.Add("mailbox '" + m_Mailbox + "' has no directory");
}

void CPythonAction::Load(xmlNodePtr element)
{
    NERRA_TRACE_BEGIN
    CAction::Load(element);
    m_Script = LoadScript(element);
    NERRA_TRACE_END("CPythonAction::Load(" NERRA_PTR ")", NERRA_PTR_ARG(element))
}

void CPythonAction::Save(xmlNodePtr element) const
{
    NERRA_TRACE_BEGIN
    CAction::Save(element);
    SaveScript(element, m_Script);
    NERRA_TRACE_END("CPythonAction::Save(" NERRA_PTR ")", NERRA_PTR_ARG(element))
}

std::shared_ptr<CAction> CPythonAction::Clone() const
{
    NERRA_TRACE_BEGIN
    auto clone = std::make_shared<CPythonAction>();
    CAction::CopyTo(*clone);
    clone->m_Script = m_Script;
    return clone;
    NERRA_TRACE_END("CPythonAction::Clone()")
}

void CPythonAction::ApplyHeader(const CMessageHeader& header)
{
    NERRA_TRACE_BEGIN
    m_Script = header.Apply(m_Script, EscapePython);
    NERRA_TRACE_END("CPythonAction::ApplyHeader(" NERRA_PTR ")", NERRA_PTR_ARG(&header))
}

std::string CPythonAction::Activate(const CMessageHeader& header, const std::shared_ptr<CFile>& file, CRuleList&, CRuleList::iterator&)
{
    NERRA_TRACE_BEGIN
    return RunRuleScript(m_Script, file, header);
    NERRA_TRACE_END("CPythonAction::Activate('%s', " NERRA_PTR ")", m_Script.c_str(), NERRA_PTR_ARG(file.get()))
}

std::string CPythonAction::Describe() const { return "script names the mailbox"; }

void CPythonAction::Check(CRuleCheck& check) const { CheckRuleScript(m_Script, check); }

CRulesetAction::RulesetMethod CRulesetAction::StringToRulesetMethod(const std::string& text)
{
    NERRA_TRACE_BEGIN
    for (int method = InsertFirst; method <= MoveNext; ++method)
        if (text == METHOD_NAMES[method])
            return static_cast<RulesetMethod>(method);
    throw CMessageException("Invalid ruleset action method: '%s'", text.c_str());
    NERRA_TRACE_END("CRulesetAction::StringToRulesetMethod('%s')", text.c_str())
}

std::string CRulesetAction::RulesetMethodToString(RulesetMethod method)
{
    NERRA_TRACE_BEGIN
    if (method < InsertFirst || method > MoveNext)
        throw CMessageException("Not reached");
    return METHOD_NAMES[method];
    NERRA_TRACE_END("CRulesetAction::RulesetMethodToString(%d)", static_cast<int>(method))
}

void CRulesetAction::Load(xmlNodePtr element)
{
    NERRA_TRACE_BEGIN
    CAction::Load(element);
    CXPathContext context(element);
    m_Method = StringToRulesetMethod(context.Eval("@method").GetText());
    if (UsesReference())
        m_Reference = context.Eval("@reference").GetText();
    if (UsesTemplate()) {
        xmlNodePtr rule = context.Eval("rule").GetNodePtr();
        if (!rule)
            throw CMessageException("Missing template rule under ruleset action '%s'", METHOD_NAMES[m_Method]);
        m_Template = std::make_shared<CRule>(rule);
    }
    NERRA_TRACE_END("CRulesetAction::Load(" NERRA_PTR ")", NERRA_PTR_ARG(element))
}

void CRulesetAction::Save(xmlNodePtr element) const
{
    NERRA_TRACE_BEGIN
    CAction::Save(element);
    SetXmlAttribute(element, "method", RulesetMethodToString(m_Method));
    if (UsesReference())
        SetXmlAttribute(element, "reference", m_Reference);
    if (UsesTemplate())
        m_Template->Write(element);
    NERRA_TRACE_END("CRulesetAction::Save(" NERRA_PTR ")", NERRA_PTR_ARG(element))
}

std::shared_ptr<CAction> CRulesetAction::Clone() const
{
    NERRA_TRACE_BEGIN
    auto clone = std::make_shared<CRulesetAction>();
    CAction::CopyTo(*clone);
    clone->m_Method = m_Method;
    if (UsesReference())
        clone->m_Reference = m_Reference;
    if (UsesTemplate())
        clone->m_Template = m_Template->Clone();  // every per-message clone owns its template
    return clone;
    NERRA_TRACE_END("CRulesetAction::Clone()")
}

void CRulesetAction::ApplyHeader(const CMessageHeader& header)
{
    NERRA_TRACE_BEGIN
    if (UsesReference())
        m_Reference = header.Apply(m_Reference);
    if (UsesTemplate())
        m_Template->ApplyHeader(header);
    NERRA_TRACE_END("CRulesetAction::ApplyHeader(" NERRA_PTR ")", NERRA_PTR_ARG(&header))
}

std::string CRulesetAction::Activate(const CMessageHeader&, const std::shared_ptr<CFile>& file, CRuleList& rules,
                                     CRuleList::iterator& position)
{
    NERRA_TRACE_BEGIN
    CRuleList::iterator reference = position;
    if (UsesReference() && !m_Reference.empty()) {
        reference = rules.begin();
        while (reference != rules.end() && (*reference)->GetId() != m_Reference)
            ++reference;
        if (reference == rules.end())
            throw CMessageException("%s(%s) failed, rule id is not found in the ruleset", METHOD_NAMES[m_Method],
                                    m_Reference.c_str());
    }
    if (UsesTemplate())
        m_Template->SetApplyHeader(true);
    switch (m_Method) {
    case InsertFirst: rules.push_front(m_Template); break;
    case InsertBefore: rules.insert(reference, m_Template); break;
    case InsertAfter: rules.insert(reference == rules.end() ? reference : std::next(reference), m_Template); break;
    case InsertLast: rules.push_back(m_Template); break;
    case DeleteCurrent:
        if (position != rules.end())
            position = rules.erase(position);
        break;
    case MoveFirst: position = rules.begin(); break;
    case MoveEnd: position = rules.end(); break;
    case MoveNext:
        if (position != rules.end())
            ++position;
        break;
    }
    return std::string();
    NERRA_TRACE_END("CRulesetAction::Activate('%s', " NERRA_PTR ")", METHOD_NAMES[m_Method], NERRA_PTR_ARG(file.get()))
}

void CRulesetAction::Check(CRuleCheck& check) const
{
    if (UsesReference() && !m_Reference.empty() && !CMessageHeader::ContainsApplicableMacros(m_Reference) &&
        check.ids.count(m_Reference) == 0)
        check.Add(std::string(METHOD_NAMES[m_Method]) + " refers to no rule with id '" + m_Reference + "'");
    if (UsesTemplate()) {
        const std::string rule = check.rule;
        m_Template->Check(check);
        check.rule = rule;
    }
}

std::string CRulesetAction::Describe() const
{
    std::string text = std::string("rule set ") + METHOD_NAMES[m_Method];
    if (UsesTemplate())
        text += " rule '" + m_Template->GetDescription() + "'";
    if (UsesReference())
        text += m_Reference.empty() ? " (reference: the current rule)" : " (reference: rule id '" + m_Reference + "')";
    return text;
}

}  // namespace Nerra
