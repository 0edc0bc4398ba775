#include "net/CTlsSession.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <poll.h>

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include "core/Trace.h"
#include "net/CSocket.h"
#include "net/CTlsContext.h"

namespace Nerra {

namespace {

long BioControl(BIO* /*bio*/, int command, long /*number*/, void* /*pointer*/)
{
    // Every byte goes straight to the socket, so there is never anything to flush.
    return command == BIO_CTRL_FLUSH ? 1 : 0;
}

int BioCreate(BIO* bio)
{
    BIO_set_init(bio, 1);
    return 1;
}

BIO_METHOD* MakeSocketBioMethod()
{
    BIO_METHOD* method = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "nerra socket");
    if (!method || !BIO_meth_set_write(method, &CTlsSession::BioWrite) ||
        !BIO_meth_set_read(method, &CTlsSession::BioRead) || !BIO_meth_set_ctrl(method, &BioControl) ||
        !BIO_meth_set_create(method, &BioCreate))
        throw CMessageException("BIO_meth_new() failed: %s", CTlsSession::TakeOpenSslReason().c_str());
    return method;
}

// OpenSSL moves its bytes through the connection's own socket, so its failures read as
// they do without TLS and no other code calls the socket functions.
const BIO_METHOD* SocketBioMethod()
{
    static const std::unique_ptr<BIO_METHOD, decltype(&BIO_meth_free)> method(MakeSocketBioMethod(),
                                                                              &BIO_meth_free);
    return method.get();
}

std::string HexFingerprint(X509* certificate)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (X509_digest(certificate, EVP_sha256(), digest, &length) != 1)
        return std::string();
    static const char HEX[] = "0123456789abcdef";
    std::string text = "sha256:";
    for (unsigned int i = 0; i < length; ++i) {
        text += HEX[digest[i] >> 4];
        text += HEX[digest[i] & 0x0f];
    }
    return text;
}

short EventsFor(bool waitsForWrite)
{
    return waitsForWrite ? POLLOUT : POLLIN;
}

}  // namespace

CTlsSession::CTlsSession(const CTlsContext& context, std::shared_ptr<CSocket> socket, const std::string& hostName,
                         const std::string& fingerprint)
    : m_Socket(std::move(socket)),
      m_Ssl(SSL_new(context.GetHandle()), &SSL_free),
      m_HandshakeWait(context.IsServer() ? EWait::Read : EWait::Write)
{
    NERRA_TRACE_BEGIN
    ERR_clear_error();
    if (!m_Ssl)
        throw CMessageException("SSL_new() failed: %s", TakeOpenSslReason().c_str());
    SSL* ssl = m_Ssl.get();
    SSL_set_app_data(ssl, this);
    BIO* bio = BIO_new(SocketBioMethod());
    if (!bio)
        throw CMessageException("BIO_new() failed: %s", TakeOpenSslReason().c_str());
    BIO_set_data(bio, this);
    SSL_set_bio(ssl, bio, bio);  // the session owns the transport from here on
    if (context.IsServer()) {
        SSL_set_accept_state(ssl);
        return;
    }
    SSL_set_connect_state(ssl);
    if (!fingerprint.empty())
        m_Fingerprint = CTlsContext::NormalizeFingerprint(fingerprint);
    else if (hostName.empty())
        throw CMessageException("A TLS client needs the server's host name or a pinned certificate");
    if (hostName.empty())
        return;
    // A name that reads as an address is checked against the certificate's addresses and, as
    // the protocol asks, not sent as SNI.
    if (X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), hostName.c_str()) == 1)
        return;
    ERR_clear_error();
    if (SSL_set_tlsext_host_name(ssl, hostName.c_str()) != 1)
        throw CMessageException("SSL_set_tlsext_host_name('%s') failed: %s", hostName.c_str(),
                                TakeOpenSslReason().c_str());
    // With a pin the name may differ: the fingerprint alone decides.
    if (m_Fingerprint.empty()) {
        SSL_set_hostflags(ssl, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
        if (SSL_set1_host(ssl, hostName.c_str()) != 1)
            throw CMessageException("SSL_set1_host('%s') failed: %s", hostName.c_str(), TakeOpenSslReason().c_str());
    }
    NERRA_TRACE_END("CTlsSession::CTlsSession('%s')", hostName.c_str())
}

CTlsSession::~CTlsSession()
{
    if (m_HandshakeComplete && m_Failure.empty()) {
        ERR_clear_error();
        SSL_shutdown(m_Ssl.get());
        ERR_clear_error();
    }
}

bool CTlsSession::Handshake()
{
    if (m_HandshakeComplete)
        return true;
    BeginCall();
    const int result = SSL_do_handshake(m_Ssl.get());
    if (result == 1)
        return m_HandshakeComplete = true;
    Settle("SSL_do_handshake", result, m_HandshakeWait);
    return false;
}

uint32_t CTlsSession::Write(const void* data, uint32_t length)
{
    BeginCall();
    const int result = SSL_write(m_Ssl.get(), data, static_cast<int>(std::min<uint32_t>(length, INT_MAX)));
    if (result > 0) {
        m_WriteWait = EWait::Write;
        return static_cast<uint32_t>(result);
    }
    return Settle("SSL_write", result, m_WriteWait);
}

uint32_t CTlsSession::Read(void* buffer, uint32_t length)
{
    BeginCall();
    const int result = SSL_read(m_Ssl.get(), buffer, static_cast<int>(std::min<uint32_t>(length, INT_MAX)));
    if (result > 0) {
        m_ReadWait = EWait::Read;
        return static_cast<uint32_t>(result);
    }
    return Settle("SSL_read", result, m_ReadWait);
}

short CTlsSession::GetPollEvents(short wanted) const
{
    if (!m_HandshakeComplete)
        return wanted ? EventsFor(m_HandshakeWait == EWait::Write) : 0;
    short events = 0;
    if (wanted & POLLIN)
        events |= EventsFor(m_ReadWait == EWait::Write);
    if (wanted & POLLOUT)
        events |= EventsFor(m_WriteWait == EWait::Write);
    return events;
}

void CTlsSession::NoteFailure(const std::string& reason)
{
    if (m_Failure.empty())
        m_Failure = reason;
}

int CTlsSession::BioWrite(BIO* bio, const char* data, int length)
{
    auto* session = static_cast<CTlsSession*>(BIO_get_data(bio));
    BIO_clear_retry_flags(bio);
    try {
        const uint32_t sent = session->m_Socket->Send(data, static_cast<uint32_t>(length));
        if (sent == 0) {
            BIO_set_retry_write(bio);
            return -1;
        }
        session->m_SocketBytes += sent;
        return static_cast<int>(sent);
    } catch (...) {
        // An exception must not unwind through OpenSSL: it is thrown on once the call returns.
        session->m_SocketFailure = std::current_exception();
        return -1;
    }
}

int CTlsSession::BioRead(BIO* bio, char* buffer, int length)
{
    auto* session = static_cast<CTlsSession*>(BIO_get_data(bio));
    BIO_clear_retry_flags(bio);
    try {
        const uint32_t received = session->m_Socket->Recv(buffer, static_cast<uint32_t>(length));
        if (received == 0) {
            BIO_set_retry_read(bio);
            return -1;
        }
        session->m_SocketBytes += received;
        return static_cast<int>(received);
    } catch (...) {
        session->m_SocketFailure = std::current_exception();
        return -1;
    }
}

int CTlsSession::VerifyServerCertificate(X509_STORE_CTX* store, void* /*argument*/)
{
    auto* ssl = static_cast<SSL*>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
    auto* session = ssl ? static_cast<CTlsSession*>(SSL_get_app_data(ssl)) : nullptr;
    if (!session || session->m_Fingerprint.empty())
        return X509_verify_cert(store) > 0 ? 1 : 0;
    // A pinned certificate needs no authority and may name another host: users pin the
    // self-signed certificates of their own servers.
    session->m_PeerFingerprint = HexFingerprint(X509_STORE_CTX_get0_cert(store));
    if (session->m_PeerFingerprint == session->m_Fingerprint) {
        X509_STORE_CTX_set_error(store, X509_V_OK);
        return 1;
    }
    session->m_PinMismatch = true;
    X509_STORE_CTX_set_error(store, X509_V_ERR_APPLICATION_VERIFICATION);
    return 0;
}

std::string CTlsSession::TakeOpenSslReason()
{
    // The first error is the root cause; the later ones only say which call passed it on.
    const unsigned long error = ERR_get_error();
    ERR_clear_error();
    if (error == 0)
        return "no reason given";
    if (ERR_SYSTEM_ERROR(error))
        return strerror(ERR_GET_REASON(error));
    if (const char* reason = ERR_reason_error_string(error))
        return reason;
    char text[256];
    ERR_error_string_n(error, text, sizeof(text));
    return text;
}

void CTlsSession::BeginCall()
{
    CheckUsable();
    // The error queue belongs to the thread, which other connections share.
    ERR_clear_error();
    m_SocketFailure = nullptr;
}

uint32_t CTlsSession::Settle(const char* call, int result, EWait& wait)
{
    if (m_SocketFailure) {
        try {
            std::rethrow_exception(m_SocketFailure);
        } catch (const std::exception& e) {
            NoteFailure(e.what());
            ERR_clear_error();
            throw;
        }
    }
    switch (SSL_get_error(m_Ssl.get(), result)) {
    case SSL_ERROR_WANT_READ:
        wait = EWait::Read;
        return 0;
    case SSL_ERROR_WANT_WRITE:
        wait = EWait::Write;
        return 0;
    case SSL_ERROR_ZERO_RETURN:
        Fail(call, "the peer closed the TLS session");
    default:
        Fail(call, FailureReason());
    }
}

void CTlsSession::Fail(const char* call, const std::string& reason)
{
    NoteFailure(reason);
    throw CMessageException("%s() failed: %s", call, reason.c_str());
}

std::string CTlsSession::FailureReason() const
{
    const unsigned long error = ERR_peek_error();
    const bool verifyFailed =
        ERR_GET_LIB(error) == ERR_LIB_SSL && ERR_GET_REASON(error) == SSL_R_CERTIFICATE_VERIFY_FAILED;
    if (!verifyFailed)
        return TakeOpenSslReason();
    ERR_clear_error();
    if (m_PinMismatch)
        return "certificate verify failed: the server's certificate " + m_PeerFingerprint + " is not the pinned " +
            m_Fingerprint;
    return std::string("certificate verify failed: ") +
        X509_verify_cert_error_string(SSL_get_verify_result(m_Ssl.get()));
}

void CTlsSession::CheckUsable() const
{
    // OpenSSL refuses a session after a fatal error; saying why helps more than its refusal.
    if (!m_Failure.empty())
        throw CMessageException("TLS failed earlier: %s", m_Failure.c_str());
}

}  // namespace Nerra
