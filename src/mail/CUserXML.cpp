#include "mail/CUserXML.h"

#include <openssl/crypto.h>

#include "core/CConfig.h"
#include "core/TextUtils.h"
#include "core/Trace.h"
#include "mail/CArgon2Authentication.h"
#include "net/CTlsContext.h"

namespace Nerra {

std::string CUserXML::PathFor(const std::string& userName)
{
    return CConfig::Instance().GetValue("mail-directory") + "/" + userName + "/user.xml";
}

CUserXML::CUserXML(const std::string& userName) : CXMLDocument(PathFor(userName)) {}

namespace {

CRemoteAccount::ETls TlsMode(const std::string& value, const std::string& port)
{
    if (value == "implicit")
        return CRemoteAccount::ETls::Implicit;
    if (value == "starttls")
        return CRemoteAccount::ETls::StartTls;
    if (value == "none")
        return CRemoteAccount::ETls::None;
    if (!value.empty())
        throw CMessageException("Invalid tls value '%s', must be implicit, starttls or none", value.c_str());
    // The port every provider serves implicit TLS on: old files that name it kept working
    // only against servers that also spoke plain text there, which none does.
    return port == "995" || port == "pop3s" ? CRemoteAccount::ETls::Implicit : CRemoteAccount::ETls::None;
}

CRemoteAccount::EAuth AuthMethod(const std::string& value)
{
    if (value.empty() || value == "user")
        return CRemoteAccount::EAuth::User;
    if (value == "plain")
        return CRemoteAccount::EAuth::Plain;
    if (value == "xoauth2")
        return CRemoteAccount::EAuth::XOAuth2;
    throw CMessageException("Invalid auth value '%s', must be user, plain or xoauth2", value.c_str());
}

}  // namespace

CRemoteAccount CRemoteAccount::FromElement(xmlNodePtr element)
{
    NERRA_TRACE_BEGIN
    CXPathContext context(element);
    CRemoteAccount account;
    account.host = context.Eval("@hostname").GetText();
    account.port = context.Eval("@port").GetText();
    account.user = context.Eval("@username").GetText();
    account.password = DecodeBASE64(context.Eval("@password").GetText());
    account.passwordCommand = context.Eval("@password-command").GetText();
    account.tls = TlsMode(context.Eval("@tls").GetText(), account.port);
    account.auth = AuthMethod(context.Eval("@auth").GetText());
    account.caFile = context.Eval("@ca-file").GetText();
    const std::string pinned = context.Eval("@fingerprint").GetText();
    if (!pinned.empty())
        account.fingerprint = CTlsContext::NormalizeFingerprint(pinned);
    // SASL sends the secret in one piece that anyone on the path could replay.
    if (account.auth != EAuth::User && account.tls == ETls::None)
        throw CMessageException("auth '%s' needs TLS, but tls is none", context.Eval("@auth").GetText().c_str());
    return account;
    NERRA_TRACE_END("CRemoteAccount::FromElement(" NERRA_PTR ")", NERRA_PTR_ARG(element))
}

std::vector<CRemoteAccountEntry> ReadRemoteAccounts(const CUserXML& user)
{
    NERRA_TRACE_BEGIN
    std::vector<CRemoteAccountEntry> entries;
    CXPathObject clients = CXPathContext(user).Eval("/user/pop3-clients/pop3-client");
    for (size_t i = 0; i < clients.GetNodeCount(); ++i) {
        entries.emplace_back();
        try {
            entries.back().account = CRemoteAccount::FromElement(clients.GetNode(i));
        } catch (const std::exception& e) {
            entries.back().failure = e.what();
        }
    }
    return entries;
    NERRA_TRACE_END("ReadRemoteAccounts()")
}

std::shared_ptr<CAuthentication> CAuthentication::Create(xmlNodePtr element)
{
    NERRA_TRACE_BEGIN
    const std::string handler = CXPathContext(element).Eval("@handler").GetText();
    if (handler == "plaintext")
        return std::make_shared<CPlaintextAuthentication>(element);
    if (handler == "hash" && CXPathContext(element).Eval("@method").GetText() == "argon2id")
        return std::make_shared<CArgon2Authentication>(element);
    if (handler == "hash")
        return std::make_shared<CHashAuthentication>(element);
    throw CMessageException("Invalid or unknown authentication handler: '%s'", handler.c_str());
    NERRA_TRACE_END("CAuthentication::Create(" NERRA_PTR ")", NERRA_PTR_ARG(element))
}

CPlaintextAuthentication::CPlaintextAuthentication(xmlNodePtr element)
{
    NERRA_TRACE_BEGIN
    m_Password = CXPathContext(element).Eval("@password").GetText();
    NERRA_TRACE_END("CPlaintextAuthentication::CPlaintextAuthentication(" NERRA_PTR ")", NERRA_PTR_ARG(element))
}

// Both comparisons take the same time wherever a wrong password differs, so timing the
// replies teaches a client nothing about the right one.
bool CPlaintextAuthentication::Authenticate(const std::string&, const std::string& password) const
{
    return EqualInConstantTime(password, m_Password);
}

CHashAuthentication::CHashAuthentication(xmlNodePtr element)
{
    NERRA_TRACE_BEGIN
    CXPathContext context(element);
    m_Method = context.Eval("@method").GetText();
    if (m_Method != "sha1")
        throw CMessageException("Unknown hash method: '%s', only sha1 and argon2id are supported", m_Method.c_str());
    std::string hash = context.Eval("@hash").GetText();
    if (!MatchesWhole(hash, Sha1HexPattern))
        throw CMessageException("Invalid hash value: '%s', must be a string of 40 hex chars", hash.c_str());
    m_Hash = ToLower(hash);
    m_Salt = context.Eval("@salt").GetText();
    NERRA_TRACE_END("CHashAuthentication::CHashAuthentication(" NERRA_PTR ")", NERRA_PTR_ARG(element))
}

bool CHashAuthentication::Authenticate(const std::string&, const std::string& password) const
{
    const std::string salted = m_Salt + password + m_Salt;
    const std::string digest = Sha1Hex(salted.data(), salted.size());
    return digest.size() == m_Hash.size() && CRYPTO_memcmp(digest.data(), m_Hash.data(), digest.size()) == 0;
}

}  // namespace Nerra
