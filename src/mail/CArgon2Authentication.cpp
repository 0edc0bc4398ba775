#include "mail/CArgon2Authentication.h"

#include <argon2.h>
#include <openssl/crypto.h>

#include <boost/regex.hpp>

#include "core/TextUtils.h"
#include "core/Trace.h"

namespace Nerra {

namespace {

// Version 19 (0x13) is the one the library hashes with; an older one would never match.
const boost::regex ENCODED_PATTERN(
    "\\$argon2id\\$v=19\\$m=([0-9]{1,10}),t=([0-9]{1,10}),p=([0-9]{1,10})\\$([A-Za-z0-9+/]+)\\$([A-Za-z0-9+/]+)");

// Bounds of what an element may ask of every login.
constexpr unsigned long MAX_MEMORY_KIB = 1024 * 1024;
constexpr unsigned long MAX_PASSES = 100;
constexpr unsigned long MAX_LANES = 64;
constexpr size_t MIN_SALT_BYTES = 8;
constexpr size_t MIN_HASH_BYTES = 16;
constexpr size_t MAX_BYTES = 64;

// Base64 without its padding, as the encoded form writes it; empty when it cannot be one.
std::string DecodeUnpadded(std::string text)
{
    if (text.size() % 4 == 1)
        return std::string();
    text.resize(text.size() + (4 - text.size() % 4) % 4, '=');
    return DecodeBASE64(text);
}

uint32_t Bounded(const std::string& digits, unsigned long low, unsigned long high, const char* what,
                 const std::string& encoded)
{
    const unsigned long value = std::stoul(digits);
    if (value < low || value > high)
        throw CMessageException("Invalid argon2id hash '%s': %s must be from %lu to %lu", encoded.c_str(), what, low,
                                high);
    return static_cast<uint32_t>(value);
}

std::string BoundedBytes(const std::string& base64, size_t low, const char* what, const std::string& encoded)
{
    std::string bytes = DecodeUnpadded(base64);
    if (bytes.size() < low || bytes.size() > MAX_BYTES)
        throw CMessageException("Invalid argon2id hash '%s': %s must be %zu to %zu bytes in Base64", encoded.c_str(),
                                what, low, MAX_BYTES);
    return bytes;
}

}  // namespace

CArgon2Authentication::CArgon2Authentication(xmlNodePtr element)
{
    NERRA_TRACE_BEGIN
    const std::string encoded = CXPathContext(element).Eval("@hash").GetText();
    boost::smatch parts;
    if (!boost::regex_match(encoded, parts, ENCODED_PATTERN))
        throw CMessageException("Invalid argon2id hash '%s': expected $argon2id$v=19$m=<KiB>,t=<passes>,p=<lanes>"
                                "$<salt>$<hash>",
                                encoded.c_str());
    m_Lanes = Bounded(parts[3], 1, MAX_LANES, "p", encoded);
    m_MemoryKiB = Bounded(parts[1], 8ul * m_Lanes, MAX_MEMORY_KIB, "m", encoded);
    m_Passes = Bounded(parts[2], 1, MAX_PASSES, "t", encoded);
    m_Salt = BoundedBytes(parts[4], MIN_SALT_BYTES, "the salt", encoded);
    m_Hash = BoundedBytes(parts[5], MIN_HASH_BYTES, "the hash", encoded);
    NERRA_TRACE_END("CArgon2Authentication::CArgon2Authentication(" NERRA_PTR ")", NERRA_PTR_ARG(element))
}

bool CArgon2Authentication::Authenticate(const std::string&, const std::string& password) const
{
    NERRA_TRACE_BEGIN
    std::string computed(m_Hash.size(), '\0');
    const int status = argon2id_hash_raw(m_Passes, m_MemoryKiB, m_Lanes, password.data(), password.size(),
                                         m_Salt.data(), m_Salt.size(), computed.data(), computed.size());
    if (status != ARGON2_OK)
        throw CMessageException("argon2id_hash_raw: %s", argon2_error_message(status));
    // Compared in constant time, so the time taken tells nothing about how much matched.
    return CRYPTO_memcmp(computed.data(), m_Hash.data(), m_Hash.size()) == 0;
    NERRA_TRACE_END("CArgon2Authentication::Authenticate()")
}

}  // namespace Nerra
