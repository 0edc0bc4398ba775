#pragma once

#include <memory>
#include <string>
#include <vector>

#include "core/CXMLDocument.h"

namespace Nerra {

// A user's account document, <mail-directory>/<user>/user.xml: POP3 password, remote POP3
// mailboxes and free parameters. Read-only once loaded, shared by every thread that uses it.
class CUserXML : public CXMLDocument {
public:
    explicit CUserXML(const std::string& userName);

    static std::string PathFor(const std::string& userName);
};

// One remote POP3 mailbox of a user: a <pop3-client> element of user.xml, checked.
struct CRemoteAccount {
    enum class ETls { None, Implicit, StartTls };
    enum class EAuth { User, Plain, XOAuth2 };

    std::string host;
    std::string port;
    std::string user;
    std::string password;         // decoded from the element's Base64; empty with a password command
    std::string passwordCommand;  // run through /bin/sh -c; its first output line is the secret
    ETls tls = ETls::None;
    EAuth auth = EAuth::User;
    std::string caFile;       // trusted authorities in PEM; empty for the system's store
    std::string fingerprint;  // the pinned server certificate, normal form; empty for none

    // Reads and checks one element. Without `tls`, port 995 or the service name "pop3s"
    // means implicit TLS and anything else none, as before the attribute existed. Fails on
    // an unknown value, a malformed fingerprint, or SASL without TLS.
    static CRemoteAccount FromElement(xmlNodePtr element);
};

// The remote mailboxes a user's account lists, in document order; an element that fails
// its checks comes back as the reason instead, so the others can still be fetched.
struct CRemoteAccountEntry {
    CRemoteAccount account;
    std::string failure;
};
std::vector<CRemoteAccountEntry> ReadRemoteAccounts(const CUserXML& user);

// Checks the password a mail client gives against the account's authentication element.
class CAuthentication {
public:
    virtual ~CAuthentication() = default;
    virtual bool Authenticate(const std::string& userName, const std::string& password) const = 0;

    // The handler the element's `handler` attribute names: "plaintext" or "hash" (with
    // `method` "sha1" or "argon2id").
    static std::shared_ptr<CAuthentication> Create(xmlNodePtr element);
};

class CPlaintextAuthentication : public CAuthentication {
public:
    explicit CPlaintextAuthentication(xmlNodePtr element);
    bool Authenticate(const std::string& userName, const std::string& password) const override;

private:
    std::string m_Password;
};

// Accepts the password when SHA-1(salt + password + salt) in hex equals the stored hash.
class CHashAuthentication : public CAuthentication {
public:
    explicit CHashAuthentication(xmlNodePtr element);
    bool Authenticate(const std::string& userName, const std::string& password) const override;

private:
    std::string m_Method;
    std::string m_Hash;  // lower case
    std::string m_Salt;
};

}  // namespace Nerra
