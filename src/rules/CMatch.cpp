#include "rules/CMatch.h"

#include "core/CFile.h"
#include "core/CXMLDocument.h"
#include "core/TextUtils.h"
#include "core/Trace.h"
#include "message/CMessageHeader.h"
#include "rules/CPython.h"
#include "rules/CRuleCheck.h"

namespace Nerra {

std::string RunRuleScript(const std::string& script, const std::shared_ptr<CFile>& file, const CMessageHeader& header)
{
    const CScriptDictionary dictionary = CScriptDictionary::ForMessage(header, file ? file->GetPath() : std::string());
    return CPython::Instance().Execute(Replace(script, "\r\n", "\n"), dictionary, false);
}

void CheckRuleScript(const std::string& script, CRuleCheck& check)
{
    try {
        const std::string expanded = CMessageHeader(std::string()).Apply(script, EscapePython);
        CPython::Instance().Execute(Replace(expanded, "\r\n", "\n"), CScriptDictionary(), true);
    } catch (...) {
        check.Add("script does not compile: " + CurrentExceptionText());
    }
}

std::string LoadScript(xmlNodePtr element)
{
    return CXPathContext(element).Eval("script/text()").GetText();
}

void SaveScript(xmlNodePtr element, const std::string& script)
{
    AddXmlChild(element, "script", &script);
}

std::shared_ptr<CMatch> CMatch::Create(xmlNodePtr element)
{
    NERRA_TRACE_BEGIN
    const std::string handler = CXPathContext(element).Eval("@handler").GetText();
    std::shared_ptr<CMatch> match;
    if (handler == "regex")
        match = std::make_shared<CRegexHeaderValueMatch>();
    else if (handler == "python")
        match = std::make_shared<CPythonMatch>();
    else if (handler == "any")
        match = std::make_shared<CAnyMatch>();
    else
        throw CMessageException("Invalid match handler attribute: '%s'", handler.c_str());
    match->Load(element);
    return match;
    NERRA_TRACE_END("CMatch::Create(" NERRA_PTR ")", NERRA_PTR_ARG(element))
}

void CMatch::Load(xmlNodePtr element)
{
    NERRA_TRACE_BEGIN
    m_Handler = CXPathContext(element).Eval("@handler").GetText();
    NERRA_TRACE_END("CMatch::Load(" NERRA_PTR ")", NERRA_PTR_ARG(element))
}

void CMatch::Save(xmlNodePtr element) const
{
    NERRA_TRACE_BEGIN
    SetXmlAttribute(element, "handler", m_Handler);
    NERRA_TRACE_END("CMatch::Save(" NERRA_PTR ")", NERRA_PTR_ARG(element))
}

void CMatch::CopyTo(CMatch& target) const
{
    target.m_Handler = m_Handler;
}

void CRegexHeaderValueMatch::Load(xmlNodePtr element)
{
    NERRA_TRACE_BEGIN
    CMatch::Load(element);
    CXPathContext context(element);
    const std::string names = context.Eval("@header-field-name").GetText();
    if (names.empty())
        throw CMessageException("Invalid or missing match attribute header-field-name");
    for (size_t from = 0; from <= names.size();) {
        size_t semicolon = names.find(';', from);
        if (semicolon == std::string::npos)
            semicolon = names.size();
        if (semicolon > from)
            m_FieldNames.push_back(names.substr(from, semicolon - from));
        from = semicolon + 1;
    }
    if (m_FieldNames.empty())
        throw CMessageException("Invalid or empty match attribute header-field-name");
    const std::string mode = context.Eval("@match-mode").GetText();
    if (mode != "any" && mode != "all")
        throw CMessageException("Invalid or missing match attribute match-mode");
    m_MatchAll = mode == "all";
    CXPathObject regexes = context.Eval("regexes/regex");
    for (size_t i = 0; i < regexes.GetNodeCount(); ++i) {
        CPattern pattern;
        pattern.text = CXPathContext(regexes.GetNode(i)).Eval("@pattern").GetText();
        m_Patterns.push_back(std::move(pattern));
    }
    NERRA_TRACE_END("CRegexHeaderValueMatch::Load(" NERRA_PTR ")", NERRA_PTR_ARG(element))
}

void CRegexHeaderValueMatch::Save(xmlNodePtr element) const
{
    NERRA_TRACE_BEGIN
    CMatch::Save(element);
    if (m_FieldNames.empty())
        throw CMessageException("Unexpected match state: empty list of header field names");
    SetXmlAttribute(element, "header-field-name", FieldList());
    SetXmlAttribute(element, "match-mode", m_MatchAll ? "all" : "any");
    xmlNodePtr regexes = AddXmlChild(element, "regexes");
    for (const CPattern& pattern : m_Patterns)
        SetXmlAttribute(AddXmlChild(regexes, "regex"), "pattern", pattern.text);
    NERRA_TRACE_END("CRegexHeaderValueMatch::Save(" NERRA_PTR ")", NERRA_PTR_ARG(element))
}

void CRegexHeaderValueMatch::CopyTo(CRegexHeaderValueMatch& target) const
{
    CMatch::CopyTo(target);
    target.m_MatchAll = m_MatchAll;
    target.m_FieldNames = m_FieldNames;
    target.m_Patterns = m_Patterns;
}

std::shared_ptr<CMatch> CRegexHeaderValueMatch::Clone() const
{
    NERRA_TRACE_BEGIN
    auto clone = std::make_shared<CRegexHeaderValueMatch>();
    CopyTo(*clone);
    return clone;
    NERRA_TRACE_END("CRegexHeaderValueMatch::Clone()")
}

void CRegexHeaderValueMatch::ApplyHeader(const CMessageHeader& header)
{
    NERRA_TRACE_BEGIN
    for (std::string& name : m_FieldNames)
        name = header.Apply(name, EscapeRegex);
    for (CPattern& pattern : m_Patterns) {
        std::string expanded = header.Apply(pattern.text, EscapeRegex);
        if (expanded != pattern.text) {
            pattern.text = std::move(expanded);
            pattern.compiled = std::make_shared<CCompiledPattern>();
        }
    }
    NERRA_TRACE_END("CRegexHeaderValueMatch::ApplyHeader(" NERRA_PTR ")", NERRA_PTR_ARG(&header))
}

std::string CRegexHeaderValueMatch::FieldList() const
{
    std::string names;
    for (const std::string& name : m_FieldNames)
        names += (names.empty() ? "" : ";") + name;
    return names;
}

bool CRegexHeaderValueMatch::Match(const std::shared_ptr<CFile>& file, const CMessageHeader& header, std::string* detail)
{
    NERRA_TRACE_BEGIN
    bool result = false;
    for (CPattern& pattern : m_Patterns) {
        if (!pattern.compiled->regex)
            pattern.compiled->regex = std::make_unique<const boost::regex>("^" + pattern.text + "$");
        const boost::regex& regex = *pattern.compiled->regex;
        for (const std::string& name : m_FieldNames) {
            for (const std::string& value : header.GetValues(name)) {
                // The whole value meets the pattern: a cut one would match what the message
                // does not say. The header's own size bounds the work, and Boost gives up on
                // a runaway match by throwing, which fails the rule.
                result = boost::regex_match(value, regex);
                if (result != m_MatchAll) {
                    if (detail)
                        *detail = Format("%s: '%s' %s pattern '%s'", name.c_str(), value.c_str(),
                                         result ? "matches" : "does not match", pattern.text.c_str());
                    return result;
                }
            }
        }
    }
    if (detail) {
        if (m_MatchAll && result)
            *detail = "every value of " + FieldList() + " matches every pattern";
        else if (m_Patterns.empty())
            *detail = "no patterns";
        else if (m_MatchAll)
            *detail = "no value of " + FieldList() + " to match";
        else
            *detail = "no value of " + FieldList() + " matches any pattern";
    }
    return result;
    NERRA_TRACE_END("CRegexHeaderValueMatch::Match(" NERRA_PTR ", " NERRA_PTR ")", NERRA_PTR_ARG(file.get()),
                    NERRA_PTR_ARG(&header))
}

void CRegexHeaderValueMatch::Check(CRuleCheck& check) const
{
    for (const CPattern& pattern : m_Patterns) {
        try {
            boost::regex("^" + CMessageHeader(std::string()).Apply(pattern.text, EscapeRegex) + "$");
        } catch (const std::exception& e) {
            check.Add("pattern '" + pattern.text + "' does not compile: " + e.what());
        }
    }
}

void CPythonMatch::Check(CRuleCheck& check) const { CheckRuleScript(m_Script, check); }

void CPythonMatch::Load(xmlNodePtr element)
{
    NERRA_TRACE_BEGIN
    CMatch::Load(element);
    m_Script = LoadScript(element);
    NERRA_TRACE_END("CPythonMatch::Load(" NERRA_PTR ")", NERRA_PTR_ARG(element))
}

void CPythonMatch::Save(xmlNodePtr element) const
{
    NERRA_TRACE_BEGIN
    CMatch::Save(element);
    SaveScript(element, m_Script);
    NERRA_TRACE_END("CPythonMatch::Save(" NERRA_PTR ")", NERRA_PTR_ARG(element))
}

std::shared_ptr<CMatch> CPythonMatch::Clone() const
{
    NERRA_TRACE_BEGIN
    auto clone = std::make_shared<CPythonMatch>();
    CMatch::CopyTo(*clone);
    clone->m_Script = m_Script;
    return clone;
    NERRA_TRACE_END("CPythonMatch::Clone()")
}

void CPythonMatch::ApplyHeader(const CMessageHeader& header)
{
    NERRA_TRACE_BEGIN
    m_Script = header.Apply(m_Script, EscapePython);
    NERRA_TRACE_END("CPythonMatch::ApplyHeader(" NERRA_PTR ")", NERRA_PTR_ARG(&header))
}

bool CPythonMatch::Match(const std::shared_ptr<CFile>& file, const CMessageHeader& header, std::string* detail)
{
    NERRA_TRACE_BEGIN
    const std::string result = RunRuleScript(m_Script, file, header);
    if (detail)
        *detail = "script result '" + result + "'";
    return result == "match";
    NERRA_TRACE_END("CPythonMatch::Match(" NERRA_PTR ", " NERRA_PTR ")", NERRA_PTR_ARG(file.get()),
                    NERRA_PTR_ARG(&header))
}

std::shared_ptr<CMatch> CAnyMatch::Clone() const
{
    auto clone = std::make_shared<CAnyMatch>();
    CMatch::CopyTo(*clone);
    return clone;
}

void CAnyMatch::ApplyHeader(const CMessageHeader&) {}

bool CAnyMatch::Match(const std::shared_ptr<CFile>&, const CMessageHeader&, std::string* detail)
{
    if (detail)
        *detail = "accepts every message";
    return true;
}

}  // namespace Nerra
