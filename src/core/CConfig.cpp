#include "core/CConfig.h"

#include <cstdlib>

#include "core/CXMLDocument.h"
#include "core/TextUtils.h"
#include "core/Trace.h"
#include "message/CMessageHeader.h"

namespace Nerra {

namespace {
const char* const PRODUCT_NAME = "Nerra Mail Filter";
const char* const VERSION = "1.4, built Sep 13 2005 13:05:54";
}  // namespace

bool CNameValueMap::HasValue(const std::string& name)
{
    NERRA_TRACE_BEGIN
    CLockGuard guard(*this);
    return m_Values.count(name) != 0;
    NERRA_TRACE_END("CNameValueMap::HasValue('%s')", name.c_str())
}

std::string CNameValueMap::GetValue(const std::string& name)
{
    NERRA_TRACE_BEGIN
    CLockGuard guard(*this);
    auto found = m_Values.find(name);
    if (found == m_Values.end())
        throw CMessageException("Value for name '%s' is not found in the map", name.c_str());
    return found->second;
    NERRA_TRACE_END("CNameValueMap::GetValue('%s')", name.c_str())
}

void CNameValueMap::SetValue(const std::string& name, const std::string& value)
{
    NERRA_TRACE_BEGIN
    CLockGuard guard(*this);
    m_Values[name] = value;
    NERRA_TRACE_END("CNameValueMap::SetValue('%s', '%s')", name.c_str(), value.c_str())
}

void CNameValueMap::DelValue(const std::string& name)
{
    NERRA_TRACE_BEGIN
    CLockGuard guard(*this);
    if (m_Values.erase(name) == 0)
        throw CMessageException("Value for name '%s' is not found in the map", name.c_str());
    NERRA_TRACE_END("CNameValueMap::DelValue('%s')", name.c_str())
}

void CNameValueMap::ClearValues()
{
    NERRA_TRACE_BEGIN
    CLockGuard guard(*this);
    m_Values.clear();
    NERRA_TRACE_END("CNameValueMap::ClearValues()")
}

CConfig& CConfig::Instance()
{
    static CConfig config;
    return config;
}

void CConfig::SetValue(const std::string& name, const std::string& value)
{
    NERRA_TRACE_BEGIN
    if (!MatchesWhole(name, ParamNamePattern))
        throw CMessageException("Invalid name for a configuration parameter: '%s'", name.c_str());
    CNameValueMap::SetValue(name, value);
    NERRA_TRACE_END("CConfig::SetValue('%s', '%s')", name.c_str(), value.c_str())
}

void CConfig::LoadFromXml(const std::string& path)
{
    NERRA_TRACE_BEGIN
    CXMLDocument document(path);
    CXPathContext context(document);
    ClearValues();
    CXPathObject params = context.Eval("/config/params/param");
    for (size_t i = 0; i < params.GetNodeCount(); ++i) {
        CXPathContext param(params.GetNode(i));
        std::string value = param.Eval("@value").GetText();
        std::string name = param.Eval("@name").GetText();
        SetValue(name, value);
    }
    SetValue("product-name", PRODUCT_NAME);
    SetValue("version", VERSION);
    NERRA_TRACE_END("CConfig::LoadFromXml('%s')", path.c_str())
}

const char* CConfig::ProductName() { return PRODUCT_NAME; }

const char* CConfig::Version() { return VERSION; }

void CConfig::InsertValuesToHeader(CMessageHeader& header)
{
    NERRA_TRACE_BEGIN
    CLockGuard guard(*this);
    for (const auto& [name, value] : m_Values)
        header.AddValue("x-nerra-" + name, value);
    NERRA_TRACE_END("CConfig::InsertValuesToHeader(" NERRA_PTR ")", NERRA_PTR_ARG(&header))
}

long CConfig::GetNumber(const std::string& name)
{
    return std::strtol(GetValue(name).c_str(), nullptr, 10);
}

CNameValueMap& TrainingTable()
{
    static CNameValueMap table;
    return table;
}

}  // namespace Nerra
