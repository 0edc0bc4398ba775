#include "mail/CUserXML.h"

#include <openssl/crypto.h>

#include "core/CConfig.h"
#include "core/TextUtils.h"
#include "core/Trace.h"
#include "mail/CArgon2Authentication.h"

namespace Nerra {

std::string CUserXML::PathFor(const std::string& userName)
{
    return CConfig::Instance().GetValue("mail-directory") + "/" + userName + "/user.xml";
}

CUserXML::CUserXML(const std::string& userName) : CXMLDocument(PathFor(userName)) {}

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
