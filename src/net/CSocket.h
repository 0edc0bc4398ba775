#pragma once

#include <cstdint>
#include <memory>

#include "core/CMessageException.h"
#include "net/CInternetAddress.h"
#include "net/CInternetPort.h"
#include "runtime/CLock.h"

namespace Nerra {

// One bound, non-blocking TCP or UDP socket; the only place that calls the socket
// functions. Transfers report a call that would block as 0 bytes, and a peer that has
// closed as a failure. Held through shared owners; the last one closes the handle.
// Acquire/Release serialise callers that share one socket.
class CSocket : public CLockable {
public:
    class CSocketImpl;

    // A refused or failed connection attempt, so callers can tell it from other failures.
    class CFailedToConnectException : public CMessageException {
    public:
        explicit CFailedToConnectException(const char* format, ...) NERRA_PRINTF(2, 3);
    };

    // An accept that failed for want of descriptors or memory: the listening socket is
    // sound, and the connection waits in its queue until there is room to take it.
    class COutOfResourcesException : public CMessageException {
    public:
        explicit COutOfResourcesException(const char* format, ...) NERRA_PRINTF(2, 3);
    };

    // The port's protocol decides the kind; address reuse is on and the socket is
    // non-blocking. Either value may be 0 for "any".
    CSocket(const CInternetAddress& localAddress, const CInternetPort& localPort);
    ~CSocket();
    CSocket(const CSocket&) = delete;
    CSocket& operator=(const CSocket&) = delete;

    CInternetAddress GetBoundAddress() const;
    CInternetPort GetBoundPort() const;
    CInternetAddress GetPeerAddress() const;

    void Listen();
    // Polled: false while a non-blocking attempt is still under way; the caller applies
    // its own time-out. A refusal throws CFailedToConnectException.
    bool Connect(const CInternetAddress& address, const CInternetPort& port);
    // Takes one pending connection. A non-zero address or port admits only that peer;
    // connections from anyone else are closed at once and false is returned. Running out
    // of descriptors or memory throws COutOfResourcesException.
    bool Accept(const CInternetAddress& address, const CInternetPort& port, std::shared_ptr<CSocket>& newSocket);

    uint32_t Send(const void* buffer, uint32_t length);
    uint32_t Recv(void* buffer, uint32_t length);
    uint32_t SendTo(const CInternetAddress& address, const CInternetPort& port, const void* buffer, uint32_t length);
    // Datagrams from senders other than the given address and port (when non-zero) are
    // dropped and count as nothing received.
    uint32_t RecvFrom(const CInternetAddress& address, const CInternetPort& port, void* buffer, uint32_t length);

    uint32_t GetMaxDatagramSize() const;
    void SetBlocking(bool blocking);

    // The descriptor to poll on: readable for input or a pending connection, writable when
    // output fits or a connection attempt has settled.
    int GetPollDescriptor() const;

    bool Acquire(uint32_t timeout) override;
    void Release() override;

private:
    explicit CSocket(std::shared_ptr<CSocketImpl> impl);

    std::shared_ptr<CSocketImpl> m_Impl;
    std::shared_ptr<CLock> m_Lock;  // made on the first Acquire
};

}  // namespace Nerra
