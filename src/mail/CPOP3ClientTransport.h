#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace Nerra {

class CClientSocketFactory;
class CConnectedSocket;
class CTlsContext;

// The link a fetch connection talks to its POP3 server through. The real ones are a TCP
// connection, plain or with TLS; tests put a scripted server behind it, so the whole dialogue
// runs without sockets. Used by one work unit, on one thread at a time.
class CPOP3ClientTransport {
public:
    virtual ~CPOP3ClientTransport() = default;

    // Polled until it returns true; false while the attempt (or a TLS handshake from the first
    // byte) is under way. A refused attempt or a failed handshake throws.
    virtual bool Connect() = 0;
    // Once connected: traffic-free time after which a transfer fails.
    virtual void SetInactivityTimeout(int32_t seconds) = 0;
    // Queues a command, line end included.
    virtual void Send(const std::string& text) = 0;
    // Pushes queued output out; true when none is left.
    virtual bool Flush() = 0;
    // Takes one received line without its line end; false when no whole line has arrived.
    // An over-long line comes back cut to its first 65536 bytes.
    virtual bool ReceiveLine(std::string& line) = 0;
    // Switches the open connection to TLS, after the server accepted STLS. Every received
    // line must have been taken: bytes that came ahead of the handshake fail the switch.
    virtual void StartTls();

    // The server as the "Received:" trace line names it.
    virtual std::string GetPeerName() = 0;
    virtual std::string GetPeerDottedText() = 0;

    // What to wait on while there is nothing to do: the connecting socket until it is
    // connected, then the connection, in whichever direction it waits for.
    virtual bool GetPollRequest(int& descriptor, short& events) const = 0;
};

// The plain TCP link to a POP3 server. Host and port are resolved at construction, so a
// name that does not resolve fails before any connection is attempted.
class CPOP3ClientSocketTransport : public CPOP3ClientTransport {
public:
    CPOP3ClientSocketTransport(const std::string& host, const std::string& port);
    ~CPOP3ClientSocketTransport() override;

    bool Connect() override;
    void SetInactivityTimeout(int32_t seconds) override;
    void Send(const std::string& text) override;
    bool Flush() override;
    bool ReceiveLine(std::string& line) override;
    std::string GetPeerName() override;
    std::string GetPeerDottedText() override;
    bool GetPollRequest(int& descriptor, short& events) const override;

protected:
    // Whether received bytes wait that no line has taken yet.
    bool HasUntakenInput() const;

    const std::string m_Host;
    const std::string m_Port;
    std::shared_ptr<CConnectedSocket> m_Socket;  // empty until connected

private:
    std::shared_ptr<CClientSocketFactory> m_Connector;  // dropped once connected
    std::string m_Input;                                // received bytes not yet taken
    size_t m_InputStart = 0;
    std::string m_Line;  // the start of a line whose end has not arrived yet
    bool m_LineCut = false;
    std::string m_PeerName;
    std::string m_PeerDottedText;
};

// The TCP link with TLS: from the first byte (implicit), or from StartTls on. The server's
// certificate must chain to the context's authorities and name the host (also sent as SNI),
// or match the pinned fingerprint. A failed handshake throws, naming the server and
// OpenSSL's reason; nothing of the dialogue goes out before the handshake is complete.
class CPOP3ClientTlsTransport : public CPOP3ClientSocketTransport {
public:
    CPOP3ClientTlsTransport(const std::string& host, const std::string& port,
                            std::shared_ptr<const CTlsContext> context, const std::string& fingerprint,
                            bool implicit);
    ~CPOP3ClientTlsTransport() override;

    bool Connect() override;
    bool Flush() override;
    bool ReceiveLine(std::string& line) override;
    void StartTls() override;

private:
    // Steps the handshake; true once it is complete.
    bool Handshake();

    const std::shared_ptr<const CTlsContext> m_Context;
    const std::string m_Fingerprint;
    const bool m_Implicit;
    bool m_Secured = false;
};

}  // namespace Nerra
