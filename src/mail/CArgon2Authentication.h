#pragma once

#include <cstdint>
#include <string>

#include "mail/CUserXML.h"

namespace Nerra {

// Accepts the password whose Argon2id hash equals the stored one. The element's `hash`
// attribute holds the usual encoded form with its cost and salt,
// "$argon2id$v=19$m=<KiB>,t=<passes>,p=<lanes>$<salt>$<hash>" (Base64 without padding).
// Each check costs that memory and time on purpose: a copied user.xml must not be cheap to
// guess passwords against. The cost is bounded when the element is read, so that an edited
// file cannot make every login allocate without limit.
class CArgon2Authentication : public CAuthentication {
public:
    explicit CArgon2Authentication(xmlNodePtr element);
    bool Authenticate(const std::string& userName, const std::string& password) const override;

private:
    uint32_t m_MemoryKiB = 0;
    uint32_t m_Passes = 0;
    uint32_t m_Lanes = 0;
    std::string m_Salt;
    std::string m_Hash;
};

}  // namespace Nerra
