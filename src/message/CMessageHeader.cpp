#include "message/CMessageHeader.h"

#include "core/TextUtils.h"
#include "core/Trace.h"
#include "message/AddressParser.h"
#include "message/EncodedWords.h"

namespace Nerra {

namespace {

const std::string PSEUDO_PREFIX = "x-nerra-";
const std::string PARSED_PREFIX = "x-nerra-parsed-";
const std::string DECODED_PREFIX = "x-nerra-decoded-";

bool IsAddressField(const std::string& name)
{
    return name == "from" || name == "to" || name == "reply-to" || name == "sender" || name == "cc";
}

bool IsFoldingSpace(char c) { return c == ' ' || c == '\t'; }

// The canonical form with every display name decoded. Brackets a name decodes to become
// braces, as every bracket copied from a value does, so the tokens still pair up.
std::string DecodeDisplayNames(const std::string& canonical)
{
    static const std::string MARKER = "display-name(";
    std::string result;
    size_t from = 0;
    for (size_t at = canonical.find(MARKER); at != std::string::npos; at = canonical.find(MARKER, from)) {
        const size_t begin = at + MARKER.size();
        const size_t end = canonical.find(')', begin);
        if (end == std::string::npos)
            break;
        result.append(canonical, from, begin - from);
        for (char c : DecodeEncodedWords(canonical.substr(begin, end - begin)))
            result += c == '(' ? '{' : c == ')' ? '}' : c;
        from = end;
    }
    result.append(canonical, from, std::string::npos);
    return result;
}

}  // namespace

CMessageHeader::CMessageHeader(const std::string& text)
{
    NERRA_TRACE_BEGIN
    if (text.empty())
        return;
    std::string quoted;
    std::string current;
    auto complete = [&] {
        if (current.empty())
            return;
        AddLine(current);
        quoted += "> ";
        quoted += current;
        quoted += '\n';
    };
    size_t from = 0;
    for (bool first = true; from < text.size(); first = false) {
        size_t end = text.find("\r\n", from);
        if (end == std::string::npos)
            throw CMessageException("Unexpected buffer format: no trailing CRLF found");
        const size_t length = end - from;
        const char* line = text.data() + from;
        from = end + 2;
        if (length > 0 && IsFoldingSpace(line[0])) {
            if (first)
                throw CMessageException("Header may not begin with folding whitespace");
            size_t rest = 0;
            while (rest < length && IsFoldingSpace(line[rest]))
                ++rest;
            if (rest == length)
                continue;  // a line of white space alone continues nothing
            current += ' ';
            current.append(line + rest, length - rest);
            continue;
        }
        complete();
        current.assign(line, length);
    }
    complete();
    AddValue("x-nerra-quoted-header", quoted);
    NERRA_TRACE_END_CONTINUE("CMessageHeader::CMessageHeader('%s')", text.c_str())
}

void CMessageHeader::AddLine(const std::string& line)
{
    NERRA_TRACE_BEGIN
    std::string name, value;
    size_t colon = line.find(':');
    if (colon == std::string::npos) {
        name = ToLower(Trim(line));
    } else {
        name = ToLower(Trim(line.substr(0, colon)));
        size_t start = colon + 1;
        while (start < line.size() && IsFoldingSpace(line[start]))
            ++start;
        value = Trim(line.substr(start));
    }
    if (name.compare(0, PSEUDO_PREFIX.size(), PSEUDO_PREFIX) == 0)
        return;  // a message can never supply or forge a pseudo field
    AddValue(name, value);
    // A twin only where decoding changes something, so rules can tell an encoded value.
    auto addDecodedTwin = [this](const std::string& twinName, const std::string& original,
                                 const std::string& decoded) {
        if (decoded != original)
            AddValue(twinName, decoded);
    };
    addDecodedTwin(DECODED_PREFIX + name, value, DecodeEncodedWords(value));

    bool failed = false;
    std::string canonical = ParseCanonical(name, value, failed);
    if (failed) {
        CLog::Instance().Warning("CMessageHeader::AddLine('%s'): Invalid '%s' header field: '%s', parsing error: "
                                 "'%s', parsed value is set to empty string",
                                 line.c_str(), name.c_str(), value.c_str(), canonical.c_str());
        canonical.clear();
    }
    AddValue(PARSED_PREFIX + name, canonical);

    if (IsAddressField(name)) {
        addDecodedTwin(DECODED_PREFIX + "parsed-" + name, canonical, DecodeDisplayNames(canonical));
        const std::string mailboxField = PARSED_PREFIX + name + "-mailbox";
        std::string rest = canonical;
        for (std::string mailbox = FetchToken(rest, "mailbox"); !mailbox.empty(); mailbox = FetchToken(rest, "mailbox")) {
            std::string localPart = mailbox, domain = mailbox;
            AddValue(mailboxField, FetchToken(localPart, "local-part") + "@" + FetchToken(domain, "domain"));
        }
    }
    NERRA_TRACE_END("CMessageHeader::AddLine('%s')", line.c_str())
}

void CMessageHeader::AddValue(const std::string& name, const std::string& value)
{
    NERRA_TRACE_BEGIN
    m_Fields[ToLower(name)].push_back(value);
    NERRA_TRACE_END("CMessageHeader::AddValue('%s', '%s')", name.c_str(), value.c_str())
}

const std::vector<std::string>& CMessageHeader::GetValues(const std::string& name) const
{
    static const std::vector<std::string> none;
    auto found = m_Fields.find(ToLower(name));
    return found == m_Fields.end() ? none : found->second;
}

unsigned CMessageHeader::GetValueCount(const std::string& name) const
{
    NERRA_TRACE_BEGIN
    return static_cast<unsigned>(GetValues(name).size());
    NERRA_TRACE_END("CMessageHeader::GetValueCount('%s')", name.c_str())
}

std::string CMessageHeader::GetValue(const std::string& name, unsigned index) const
{
    NERRA_TRACE_BEGIN
    const std::vector<std::string>& values = GetValues(name);
    return index < values.size() ? values[index] : std::string();
    NERRA_TRACE_END("CMessageHeader::GetValue('%s', %u)", name.c_str(), index)
}

std::string CMessageHeader::Apply(const std::string& text, EscapeFunction escape) const
{
    NERRA_TRACE_BEGIN
    std::string result;
    size_t from = 0;
    while (from < text.size()) {
        size_t open = text.find("{{", from);
        size_t close = text.find("}}", from);
        if (open == std::string::npos && close == std::string::npos) {
            result.append(text, from, std::string::npos);
            break;
        }
        if (open == std::string::npos || close == std::string::npos || close < open)
            throw CMessageException("Mismatched substitution parentheses {{...}} in '%s'", text.c_str());
        result.append(text, from, open - from);
        const std::string body = text.substr(open + 2, close - open - 2);
        if (body.find("{{") != std::string::npos)
            throw CMessageException("Nested substitution parentheses {{...}} in '%s'", text.c_str());
        from = close + 2;

        std::string expansion;
        for (size_t start = 0; start <= body.size() && expansion.empty();) {
            size_t bar = body.find('|', start);
            if (bar == std::string::npos)
                bar = body.size();
            if (bar > start) {
                for (const std::string& value : GetValues(body.substr(start, bar - start))) {
                    if (!value.empty()) {
                        expansion = value;
                        break;
                    }
                }
            }
            start = bar + 1;
        }
        result += escape ? escape(expansion) : expansion;
    }
    return result;
    NERRA_TRACE_END("CMessageHeader::Apply('%s', " NERRA_PTR ")", text.c_str(), NERRA_PTR_ARG(reinterpret_cast<void*>(escape)))
}

bool CMessageHeader::ContainsApplicableMacros(const std::string& text)
{
    return text.find("{{") != std::string::npos && text.find("}}") != std::string::npos;
}

}  // namespace Nerra
