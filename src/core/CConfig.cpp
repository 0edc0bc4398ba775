#include "core/CConfig.h"

#include <cerrno>
#include <climits>
#include <cstdlib>

#include "core/CFile.h"
#include "core/CXMLDocument.h"
#include "core/TextUtils.h"
#include "core/Trace.h"

namespace Nerra {

namespace {
const char* const PRODUCT_NAME = "Nerra Mail Filter";
const char* const VERSION = "1.4, built Sep 13 2005 13:05:54";

constexpr long ONE_DAY = 86400;
constexpr long ONE_YEAR = 365 * ONE_DAY;

// Every numeric setting and the values it accepts: enough for any sensible use, and small
// enough that no computation with them overflows.
const struct CNumericSetting {
    const char* name;
    long minimum;
    long maximum;
    bool optional;
} NUMERIC_SETTINGS[] = {
    {"mail-interval-sec", 1, ONE_YEAR, false},
    {"spool-interval-sec", 1, ONE_YEAR, false},
    {"flush-interval-sec", 1, ONE_YEAR, false},
    {"worker-threads-per-pool", 1, 1024, false},
    {"incoming-connection-timeout-sec", 1, ONE_DAY, false},
    {"outgoing-connection-timeout-sec", 1, ONE_DAY, false},
    {"pop3-connection-attempt-timeout-sec", 1, ONE_DAY, false},
    {"pop3-messages-per-session", 0, 1000000, false},
    {"pop3-messages-per-sync", 1, 1000000, false},
    {"parallel-worker-thread-work-ms", 1, 60000, false},
    {"parallel-worker-thread-sleep-ms", 1, 60000, false},
    {"pop3-max-connections", 1, 1000000, true},
};

// Settings every service start needs that are not numbers; their values are checked where
// they are used at start-up (the POP3 address and port are resolved before the listener runs).
const char* const TEXT_SETTINGS[] = {"mail-directory", "pop3-address", "pop3-port"};

const CNumericSetting* FindNumericSetting(const std::string& name)
{
    for (const CNumericSetting& setting : NUMERIC_SETTINGS) {
        if (name == setting.name)
            return &setting;
    }
    return nullptr;
}

const boost::regex WholeNumberPattern("^[-+]?[0-9]+$");
}  // namespace

bool CNameValueMap::HasValue(const std::string& name)
{
    NERRA_TRACE_BEGIN
    std::lock_guard<std::mutex> guard(m_Lock);
    return m_Values.count(name) != 0;
    NERRA_TRACE_END("CNameValueMap::HasValue('%s')", name.c_str())
}

std::string CNameValueMap::GetValue(const std::string& name)
{
    NERRA_TRACE_BEGIN
    std::lock_guard<std::mutex> guard(m_Lock);
    auto found = m_Values.find(name);
    if (found == m_Values.end())
        throw CMessageException("Value for name '%s' is not found in the map", name.c_str());
    return found->second;
    NERRA_TRACE_END("CNameValueMap::GetValue('%s')", name.c_str())
}

void CNameValueMap::SetValue(const std::string& name, const std::string& value)
{
    NERRA_TRACE_BEGIN
    std::lock_guard<std::mutex> guard(m_Lock);
    m_Values[name] = value;
    NERRA_TRACE_END("CNameValueMap::SetValue('%s', '%s')", name.c_str(), value.c_str())
}

void CNameValueMap::DelValue(const std::string& name)
{
    NERRA_TRACE_BEGIN
    std::lock_guard<std::mutex> guard(m_Lock);
    if (m_Values.erase(name) == 0)
        throw CMessageException("Value for name '%s' is not found in the map", name.c_str());
    NERRA_TRACE_END("CNameValueMap::DelValue('%s')", name.c_str())
}

CNameValueMap::CValues CNameValueMap::GetValues()
{
    std::lock_guard<std::mutex> guard(m_Lock);
    return m_Values;
}

void CNameValueMap::ClearValues()
{
    NERRA_TRACE_BEGIN
    std::lock_guard<std::mutex> guard(m_Lock);
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

long CConfig::GetNumber(const std::string& name)
{
    NERRA_TRACE_BEGIN
    const CNumericSetting* setting = FindNumericSetting(name);
    const long minimum = setting ? setting->minimum : LONG_MIN;
    const long maximum = setting ? setting->maximum : LONG_MAX;
    const std::string text = GetValue(name);
    const std::string number = Trim(text);
    bool valid = MatchesWhole(number, WholeNumberPattern);
    long value = 0;
    if (valid) {
        errno = 0;
        value = std::strtol(number.c_str(), nullptr, 10);
        valid = errno != ERANGE && value >= minimum && value <= maximum;
    }
    if (!valid)
        throw CMessageException("Invalid value of %s: '%s', must be a whole number from %ld to %ld", name.c_str(),
                                text.c_str(), minimum, maximum);
    return value;
    NERRA_TRACE_END("CConfig::GetNumber('%s')", name.c_str())
}

void CConfig::CheckSettings()
{
    NERRA_TRACE_BEGIN
    for (const CNumericSetting& setting : NUMERIC_SETTINGS) {
        if (!HasValue(setting.name) && !setting.optional)
            throw CMessageException("Missing value of %s, must be a whole number from %ld to %ld", setting.name,
                                    setting.minimum, setting.maximum);
        if (HasValue(setting.name))
            GetNumber(setting.name);
    }
    for (const char* name : TEXT_SETTINGS) {
        if (!HasValue(name))
            throw CMessageException("Missing value of %s", name);
    }
    const std::string directory = GetValue("mail-directory");
    if (CFile::GetKind(CFile::ResolvePath(directory)) != CFile::Directory)
        throw CMessageException("Invalid value of mail-directory: '%s', must name a directory", directory.c_str());
    NERRA_TRACE_END("CConfig::CheckSettings()")
}

}  // namespace Nerra
