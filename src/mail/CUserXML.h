#pragma once

#include <memory>
#include <string>

#include "core/CXMLDocument.h"

namespace Nerra {

// A user's account document, <mail-directory>/<user>/user.xml: POP3 password, remote POP3
// mailboxes and free parameters. Read-only once loaded, shared by every thread that uses it.
class CUserXML : public CXMLDocument {
public:
    explicit CUserXML(const std::string& userName);

    static std::string PathFor(const std::string& userName);
};

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
