#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "net/CInternetAddress.h"
#include "net/CInternetPort.h"
#include "net/CSocket.h"
#include "net/CStreamBuffer.h"

namespace Nerra {

class CTlsContext;
class CTlsSession;

// How Recv delivers: whatever is there up to the length, or one text line.
enum ETransferMode { xferUPTO = 1, xferLINE = 2 };

// "upto" or "line".
const char* TransferModeName(ETransferMode mode);

// How far a TLS handshake has come.
enum ETlsHandshake { tlsPENDING = 0, tlsCOMPLETE = 1, tlsFAILED = 2 };

// The TCP connection the POP3 client and server talk through: buffered, never-blocking
// transfers with an inactivity clock. A call that cannot complete now returns 0 and the
// caller tries again on a later step. Used by one work unit, on one thread at a time.
// Small writes are coalesced until more than 64 KiB are queued, half the time-out has
// passed, or an empty Send flushes.
//
// The stream may switch to TLS at any point, from the first byte or after a plain dialogue.
// From then on Send and Recv move the same bytes through TLS, with the same results: 0 for
// nothing yet, a failure (a TLS one included) thrown. They also drive the handshake; no
// application byte goes either way before it is complete. Poll with GetPollEvents, which
// follows what TLS waits for. A completed session ends with close_notify on destruction, as
// far as the socket takes it at once.
class CConnectedSocket {
public:
    static constexpr int32_t DEFAULT_INACTIVITY_TIMEOUT = 120;  // seconds

    explicit CConnectedSocket(std::shared_ptr<CSocket> socket);
    ~CConnectedSocket();
    CConnectedSocket(const CConnectedSocket&) = delete;
    CConnectedSocket& operator=(const CConnectedSocket&) = delete;

    // Queues the bytes and sends what the socket takes; returns the count still queued.
    // With no data it only pushes queued output out.
    uint32_t Send(const void* data, uint32_t length);
    // Returns the count delivered (for lines, the line's length plus 1), or 0 for nothing yet.
    uint32_t Recv(void* buffer, uint32_t length, ETransferMode mode, std::string* line);

    // The caller includes the line end.
    uint32_t SendLine(const std::string& text);
    void SetBlocking(bool blocking);
    CInternetAddress GetPeerAddress() const;

    // Returns the previous time-out, and fails at once when the new one has already run out.
    int32_t SetInactivityTimeout(int32_t seconds);
    void Touch();
    // True once half the time-out has passed without traffic: time to flush or keep alive.
    bool IsHalfIdle() const;
    int32_t GetInactivityTimeout() const { return m_InactivityTimeout; }
    // Received bytes not yet delivered, such as the start of a line still to be completed.
    bool HasPendingInput() const { return m_Input.GetSize() > 0; }

    // For a caller that waits on many connections: poll this descriptor for input, and for
    // writability too while output is queued.
    int GetPollDescriptor() const;
    bool HasPendingOutput() const { return m_Output.GetSize() > 0; }
    // What to poll the descriptor for, given what the caller waits for: POLLIN for Recv to
    // deliver, POLLOUT for queued output to go out. A plain connection returns it unchanged; TLS
    // may need the other direction first. Wait only once Recv has given 0, since bytes already
    // taken off the socket never make the descriptor ready.
    short GetPollEvents(short wanted) const;

    // Switches to TLS as the server of the handshake, with a server's context. Output still
    // queued goes out first and in plain (the "+OK" that accepts STLS). Input already received
    // fails the switch: a peer that sends ahead of the handshake could slip plain commands
    // into the protected session.
    void StartTlsServer(const CTlsContext& context);
    // Switches to TLS as the client, with a client's context: the server's certificate must
    // chain to a trusted authority and name hostName (also sent as SNI), or, when a
    // fingerprint is given (see CTlsContext::NormalizeFingerprint), be exactly that one.
    void StartTlsClient(const CTlsContext& context, const std::string& hostName,
                        const std::string& fingerprint = std::string());
    // One step of the handshake for a caller that waits for it before anything else. A
    // failure, the inactivity time-out included, is returned rather than thrown, since a
    // peer that fails it is to be expected: GetTlsFailure() says why.
    ETlsHandshake ContinueTlsHandshake();

    bool IsTlsActive() const { return m_Tls != nullptr; }
    bool IsTlsHandshakeComplete() const;
    // Empty unless TLS failed; then OpenSSL's reason, e.g. "certificate verify failed:
    // hostname mismatch", or the socket failure that ended the session.
    std::string GetTlsFailure() const;

private:
    // Fails with "Inactivity timeout" once the time-out has passed without traffic.
    void CheckInactivity() const;
    static void ValidateRecvArguments(const void* buffer, uint32_t length, ETransferMode mode, const std::string* line);
    void StartTls(std::unique_ptr<CTlsSession> session);
    uint32_t SendPlain(uint32_t length);
    // Sends the plain bytes queued before the switch, then steps the handshake; true once
    // it is complete.
    bool AdvanceTlsHandshake();
    void FlushThroughTls();
    // One read from the socket, or through TLS, into the scratch buffer.
    uint32_t ReceiveChunk();
    void TouchIfMoved(uint64_t socketBytesBefore);

    static constexpr uint32_t RECV_CHUNK = 65536;
    static constexpr uint32_t FLUSH_THRESHOLD = 65536;

    CStreamBuffer m_Input;
    CStreamBuffer m_Output;
    std::shared_ptr<CSocket> m_Socket;
    std::unique_ptr<uint8_t[]> m_Scratch;  // RECV_CHUNK bytes
    int64_t m_LastActivity;                // seconds on the monotonic clock
    int32_t m_InactivityTimeout = DEFAULT_INACTIVITY_TIMEOUT;
    std::unique_ptr<CTlsSession> m_Tls;  // empty while the stream is plain
    uint32_t m_PlainOutput = 0;          // queued before the switch to TLS, still to go out plain
};

}  // namespace Nerra
