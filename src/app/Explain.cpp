#include "app/Explain.h"

#include <iostream>

#include "core/CConfig.h"
#include "core/CFile.h"
#include "core/CXMLDocument.h"
#include "core/TextUtils.h"
#include "core/Trace.h"
#include "mail/CUserXML.h"
#include "mail/FilingHeader.h"
#include "mail/MailStore.h"
#include "message/CMessageHeader.h"
#include "rules/CDispatchTrace.h"
#include "rules/CPython.h"
#include "rules/CRuleSet.h"

namespace Nerra {

namespace {

// A JSON string: quotes, backslashes and control bytes escaped, bytes that are not UTF-8
// replaced by U+FFFD so the document stays valid whatever the message held.
std::string JsonString(const std::string& text)
{
    std::string out = "\"";
    for (size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            out += Format("\\u%04x", c);
        } else if (c >= 0x80) {
            const size_t length = c >= 0xF0 && c < 0xF5 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 && c < 0xE0 ? 2 : 0;
            bool valid = length > 0 && i + length <= text.size();
            for (size_t k = 1; valid && k < length; ++k)
                valid = (static_cast<unsigned char>(text[i + k]) & 0xC0) == 0x80;
            out += valid ? text.substr(i, length) : "\xEF\xBF\xBD";
            i += valid ? length : 1;
            continue;
        } else {
            out += static_cast<char>(c);
        }
        ++i;
    }
    return out + "\"";
}

const char* KindName(CDispatchDecision::Kind kind)
{
    switch (kind) {
    case CDispatchDecision::Kind::Mailbox: return "mailbox";
    case CDispatchDecision::Kind::Delete: return "delete";
    case CDispatchDecision::Kind::NeedsContents: return "needs-whole-message";
    case CDispatchDecision::Kind::Spam: break;
    }
    return "spam";
}

// Where the filing unit would put the message: the mailbox named, unless the name is no plain
// mailbox name or has no directory inside the mail store, which sends it to spam.
std::string FiledInto(const std::string& user, const CDispatchDecision& decision, std::string& note)
{
    const std::string mailbox = decision.GetMailbox();
    if (mailbox.empty())
        return mailbox;
    if (!MatchesWhole(mailbox, WordPattern)) {
        note = "invalid mailbox name '" + mailbox + "'";
        return "spam";
    }
    const std::string directory = MailBoxDirectory(user, mailbox);
    if (mailbox != "spam" && (CFile::GetKind(CFile::ResolvePath(directory)) != CFile::Directory ||
                              !IsInsideMailDirectory(directory))) {
        note = "mailbox " + mailbox + " has no directory";
        return "spam";
    }
    return mailbox;
}

}  // namespace

std::string TraceText(const CDispatchTrace& trace, const std::string& filedInto, const std::string& filingNote)
{
    std::string out;
    size_t step = 0;
    for (const CDispatchTrace::CRuleStep& rule : trace.rules) {
        out += Format("rule %zu \"%s\"", ++step, rule.description.c_str());
        if (!rule.id.empty())
            out += " (id " + rule.id + ")";
        out += rule.skipped.empty() ? ": evaluated\n" : ": skipped, " + rule.skipped + "\n";
        size_t index = 0;
        for (const auto& match : rule.matches)
            out += Format("  match %zu %s: %s, %s\n", ++index, match.handler.c_str(),
                          match.accepted ? "accepted" : "refused", match.detail.c_str());
        index = 0;
        for (const auto& action : rule.actions)
            out += Format("  action %zu %s: %s%s\n", ++index, action.handler.c_str(), action.detail.c_str(),
                          action.result.empty() ? ", no mailbox" : (", names '" + action.result + "'").c_str());
        if (!rule.failure.empty())
            out += "  failed: " + rule.failure + "\n";
    }
    out += "decision: " + trace.decision.Describe() + "\n";
    if (!filedInto.empty())
        out += "filed into: " + filedInto + (filingNote.empty() ? "" : " (" + filingNote + ")") + "\n";
    return out;
}

std::string TraceJson(const CDispatchTrace& trace, const std::string& user, const std::string& messagePath,
                      bool headerOnly, const std::string& filedInto, const std::string& filingNote)
{
    std::string out = "{\"user\":" + JsonString(user) + ",\"message\":" + JsonString(messagePath) +
                      ",\"pass\":\"" + (headerOnly ? "header" : "whole message") + "\",\"rules\":[";
    for (size_t r = 0; r < trace.rules.size(); ++r) {
        const CDispatchTrace::CRuleStep& rule = trace.rules[r];
        out += std::string(r ? "," : "") + "{\"description\":" + JsonString(rule.description) +
               ",\"id\":" + JsonString(rule.id) + ",\"evaluated\":" + (rule.skipped.empty() ? "true" : "false") +
               ",\"skipped\":" + JsonString(rule.skipped) + ",\"accepted\":" + (rule.accepted ? "true" : "false") +
               ",\"matches\":[";
        for (size_t m = 0; m < rule.matches.size(); ++m)
            out += std::string(m ? "," : "") + "{\"handler\":" + JsonString(rule.matches[m].handler) +
                   ",\"accepted\":" + (rule.matches[m].accepted ? "true" : "false") +
                   ",\"detail\":" + JsonString(rule.matches[m].detail) + "}";
        out += "],\"actions\":[";
        for (size_t a = 0; a < rule.actions.size(); ++a)
            out += std::string(a ? "," : "") + "{\"handler\":" + JsonString(rule.actions[a].handler) +
                   ",\"detail\":" + JsonString(rule.actions[a].detail) +
                   ",\"mailbox\":" + JsonString(rule.actions[a].result) + "}";
        out += "],\"failure\":" + JsonString(rule.failure) + "}";
    }
    const CDispatchDecision& decision = trace.decision;
    out += std::string("],\"decision\":{\"kind\":\"") + KindName(decision.GetKind()) +
           "\",\"mailbox\":" + JsonString(decision.GetMailbox()) + ",\"reason\":" +
           JsonString(decision.GetKind() == CDispatchDecision::Kind::Spam ? decision.GetReason() : "") +
           ",\"text\":" + JsonString(decision.Describe()) + "},\"filed-into\":" + JsonString(filedInto) +
           ",\"filing-note\":" + JsonString(filingNote) + "}\n";
    return out;
}

int RunExplain(const std::string& configPath, const std::string& user, const std::string& messagePath, bool json,
               bool headerOnly)
{
    try {
        XMLInit();
        CConfig::Instance().LoadFromXml(configPath);
        CConfig::Instance().CheckSettings();
        if (!MatchesWhole(user, WordPattern) || CFile::GetKind(CFile::ResolvePath(UserDirectory(user))) != CFile::Directory)
            throw CMessageException("No user '%s' under the mail directory", user.c_str());
        CPython::Instance();
        const auto account = std::make_shared<CUserXML>(user);
        const std::string directory = UserDirectory(user) + "/";
        CRuleSet ruleSet(user, directory + "ruleset.xml", directory + "ruleset.xsd", CRuleSet::Persistence::ReadOnly);
        uint32_t size = 0;
        const std::string headerText = ReadMessageHeaderText(messagePath, size);
        const auto header = BuildFilingHeader(headerText, size, NewMessageId(headerText), user, account.get());
        std::shared_ptr<CFile> file;
        if (!headerOnly)
            file = std::make_shared<CFile>(messagePath, CFile::Reading, CFile::MustExist);
        CDispatchTrace trace;
        ruleSet.DispatchMessage(header, file, &trace);
        std::string note;
        const std::string filedInto = FiledInto(user, trace.decision, note);
        std::cout << (json ? TraceJson(trace, user, messagePath, headerOnly, filedInto, note)
                           : TraceText(trace, filedInto, note))
                  << std::flush;
        return 0;
    } catch (...) {
        std::cerr << "nerra-mail-filter explain: " << CurrentExceptionText() << std::endl;
        return 1;
    }
}

}  // namespace Nerra
