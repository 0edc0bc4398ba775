#pragma once

#include <cstdint>
#include <exception>
#include <memory>
#include <string>

struct bio_st;
struct ssl_st;
struct x509_store_ctx_st;

namespace Nerra {

class CSocket;
class CTlsContext;

// One connection's TLS, spoken over its socket in non-blocking steps: drives the handshake,
// moves application bytes and remembers what each direction waits for, so the connection
// knows how to poll. The connection's stream class is its only user, on one thread at a time.
// A failure throws, names the OpenSSL call and keeps OpenSSL's reason for GetFailure().
class CTlsSession {
public:
    // A server's session when the context is a server's. A client's checks the server's
    // certificate: against the trusted authorities and hostName (also sent as SNI), or, when
    // a fingerprint is pinned, only against that fingerprint.
    CTlsSession(const CTlsContext& context, std::shared_ptr<CSocket> socket, const std::string& hostName,
                const std::string& fingerprint);
    // Sends close_notify after a completed handshake, as far as the socket takes it at once.
    ~CTlsSession();
    CTlsSession(const CTlsSession&) = delete;
    CTlsSession& operator=(const CTlsSession&) = delete;

    // True once the handshake is complete, false while it waits for the socket.
    bool Handshake();
    // The application bytes taken or delivered; 0 when the socket would block. Call Read
    // again until it gives 0 before waiting for input: bytes it has taken off the socket and
    // not yet delivered are invisible to poll().
    uint32_t Write(const void* data, uint32_t length);
    uint32_t Read(void* buffer, uint32_t length);

    bool IsHandshakeComplete() const { return m_HandshakeComplete; }
    // Maps what the caller waits for (POLLIN to read, POLLOUT to write) to what the
    // descriptor must be polled for: during the handshake, or when TLS has to write in order to
    // read (or the reverse), the two differ.
    short GetPollEvents(short wanted) const;
    // Empty until a failure; then why, with OpenSSL's reason.
    const std::string& GetFailure() const { return m_Failure; }
    // Keeps the first failure met outside the session, e.g. on plain bytes sent before it.
    void NoteFailure(const std::string& reason);
    // Bytes moved on the socket both ways, handshake included, for the inactivity clock.
    uint64_t GetSocketBytes() const { return m_SocketBytes; }

    // OpenSSL's callbacks: the socket as a transport, and the check of a server's certificate.
    static int BioWrite(bio_st* bio, const char* data, int length);
    static int BioRead(bio_st* bio, char* buffer, int length);
    static int VerifyServerCertificate(x509_store_ctx_st* store, void* argument);
    // The reason OpenSSL gives for the last failure on this thread; clears its error queue.
    static std::string TakeOpenSslReason();

private:
    enum class EWait { Read, Write };

    void BeginCall();
    // Sorts out a call that moved nothing: records what it waits for and returns 0, or fails.
    uint32_t Settle(const char* call, int result, EWait& wait);
    [[noreturn]] void Fail(const char* call, const std::string& reason);
    std::string FailureReason() const;
    void CheckUsable() const;

    std::shared_ptr<CSocket> m_Socket;
    std::unique_ptr<ssl_st, void (*)(ssl_st*)> m_Ssl;
    std::string m_Fingerprint;      // pinned, in the normal form; empty when none
    std::string m_PeerFingerprint;  // the server's, once a pin has been checked
    bool m_PinMismatch = false;
    bool m_HandshakeComplete = false;
    EWait m_HandshakeWait;
    EWait m_ReadWait = EWait::Read;
    EWait m_WriteWait = EWait::Write;
    std::exception_ptr m_SocketFailure;  // thrown inside a transport callback, thrown on after it
    std::string m_Failure;
    uint64_t m_SocketBytes = 0;
};

}  // namespace Nerra
