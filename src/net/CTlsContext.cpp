#include "net/CTlsContext.h"

#include <algorithm>
#include <cctype>

#include <openssl/err.h>
#include <openssl/ssl.h>

#include "core/Trace.h"
#include "net/CTlsSession.h"

namespace Nerra {

namespace {

constexpr size_t SHA256_HEX_DIGITS = 64;

// Fails with the call, the file it was given and OpenSSL's reason.
[[noreturn]] void FailOnFile(const char* call, const std::string& file)
{
    const std::string reason = CTlsSession::TakeOpenSslReason();
    throw CMessageException("%s('%s') failed: %s", call, file.c_str(), reason.c_str());
}

}  // namespace

CTlsContext::CTlsContext(bool server)
    : m_Server(server), m_Context(SSL_CTX_new(server ? TLS_server_method() : TLS_client_method()), &SSL_CTX_free)
{
    if (!m_Context)
        throw CMessageException("SSL_CTX_new() failed: %s", CTlsSession::TakeOpenSslReason().c_str());
    SSL_CTX* context = m_Context.get();
    if (!SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION))
        throw CMessageException("SSL_CTX_set_min_proto_version() failed: %s", CTlsSession::TakeOpenSslReason().c_str());
    // Renegotiation buys a mail connection nothing and has a history of attacks.
    SSL_CTX_set_options(context, SSL_OP_NO_RENEGOTIATION);
    // A record is written from the front of the connection's output queue, which may move
    // in memory and grow between the attempts to send it.
    SSL_CTX_set_mode(context, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
}

CTlsContext::~CTlsContext() = default;

std::shared_ptr<const CTlsContext> CTlsContext::ForServer(const std::string& certificateFile,
                                                          const std::string& keyFile)
{
    NERRA_TRACE_BEGIN
    std::shared_ptr<CTlsContext> result(new CTlsContext(true));
    SSL_CTX* context = result->m_Context.get();
    if (SSL_CTX_use_certificate_chain_file(context, certificateFile.c_str()) != 1)
        FailOnFile("SSL_CTX_use_certificate_chain_file", certificateFile);
    if (SSL_CTX_use_PrivateKey_file(context, keyFile.c_str(), SSL_FILETYPE_PEM) != 1)
        FailOnFile("SSL_CTX_use_PrivateKey_file", keyFile);
    if (SSL_CTX_check_private_key(context) != 1)
        FailOnFile("SSL_CTX_check_private_key", keyFile);
    return result;
    NERRA_TRACE_END("CTlsContext::ForServer('%s', '%s')", certificateFile.c_str(), keyFile.c_str())
}

std::shared_ptr<const CTlsContext> CTlsContext::ForClient(const std::string& caFile)
{
    NERRA_TRACE_BEGIN
    std::shared_ptr<CTlsContext> result(new CTlsContext(false));
    SSL_CTX* context = result->m_Context.get();
    if (caFile.empty()) {
        if (SSL_CTX_set_default_verify_paths(context) != 1)
            throw CMessageException("SSL_CTX_set_default_verify_paths() failed: %s",
                                    CTlsSession::TakeOpenSslReason().c_str());
    } else if (SSL_CTX_load_verify_locations(context, caFile.c_str(), nullptr) != 1) {
        FailOnFile("SSL_CTX_load_verify_locations", caFile);
    }
    SSL_CTX_set_verify(context, SSL_VERIFY_PEER, nullptr);
    // The session decides between the trusted chain and a pinned certificate.
    SSL_CTX_set_cert_verify_callback(context, &CTlsSession::VerifyServerCertificate, nullptr);
    return result;
    NERRA_TRACE_END("CTlsContext::ForClient('%s')", caFile.c_str())
}

std::string CTlsContext::NormalizeFingerprint(const std::string& text)
{
    static const std::string PREFIX = "sha256:";
    const bool prefixed = text.size() > PREFIX.size() &&
        std::equal(PREFIX.begin(), PREFIX.end(), text.begin(),
                   [](char a, char b) { return a == std::tolower(static_cast<unsigned char>(b)); });
    std::string digits;
    bool valid = prefixed;
    for (size_t i = PREFIX.size(); valid && i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        // A colon only ever separates digits: not first, last or doubled.
        if (c == ':')
            valid = !digits.empty() && i + 1 < text.size() && text[i - 1] != ':';
        else if (std::isxdigit(c))
            digits += static_cast<char>(std::tolower(c));
        else
            valid = false;
    }
    if (!valid || digits.size() != SHA256_HEX_DIGITS)
        throw CMessageException("Invalid certificate fingerprint '%s': expected \"sha256:\" and %zu hex digits",
                                text.c_str(), SHA256_HEX_DIGITS);
    return PREFIX + digits;
}

}  // namespace Nerra
