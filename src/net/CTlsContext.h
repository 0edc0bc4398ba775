#pragma once

#include <memory>
#include <string>

struct ssl_ctx_st;

namespace Nerra {

// The TLS settings that many connections share: a server's certificate and key, or the
// certificate authorities a client trusts. Either role accepts TLS 1.2 or newer only.
// Built once and only read afterwards, so connections on any worker may use one context at
// the same time. A connection holds its own reference to what it needs of the context, so
// the context may be dropped while connections made from it live on.
class CTlsContext {
public:
    // PEM files: the certificate chain (the server's own certificate first) and its private
    // key. Fails naming the file and OpenSSL's reason when either cannot be read or the key
    // does not belong to the certificate.
    static std::shared_ptr<const CTlsContext> ForServer(const std::string& certificateFile,
                                                        const std::string& keyFile);
    // Trusts the certificate authorities of a PEM file, or the system's store when no file is
    // given. The server's host name and any pinned certificate are given per connection.
    static std::shared_ptr<const CTlsContext> ForClient(const std::string& caFile = std::string());

    // The one form of a pinned server certificate: "sha256:" and the 64 lower-case hex digits
    // of the SHA-256 of its DER encoding. Takes either case and colons between the digits (as
    // tools print fingerprints); fails on anything else, so a setting can be checked early.
    static std::string NormalizeFingerprint(const std::string& text);

    ~CTlsContext();
    CTlsContext(const CTlsContext&) = delete;
    CTlsContext& operator=(const CTlsContext&) = delete;

    bool IsServer() const { return m_Server; }
    // OpenSSL's own context, for the connections made from it.
    ssl_ctx_st* GetHandle() const { return m_Context.get(); }

private:
    explicit CTlsContext(bool server);

    bool m_Server;
    std::unique_ptr<ssl_ctx_st, void (*)(ssl_ctx_st*)> m_Context;
};

}  // namespace Nerra
