#pragma once

#include <cstdint>
#include <memory>

#include "core/CMessageException.h"
#include "net/CInternetAddress.h"
#include "net/CInternetPort.h"

namespace Nerra {

// One bound, non-blocking TCP socket; the only place that calls the socket functions.
// Transfers report a call that would block as 0 bytes, and a peer that has closed as a
// failure. Held through shared owners; the last one closes the handle.
class CSocket {
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

    // Address reuse is on and the socket is non-blocking. Either value may be 0 for "any".
    CSocket(const CInternetAddress& localAddress, const CInternetPort& localPort);
    ~CSocket();
    CSocket(const CSocket&) = delete;
    CSocket& operator=(const CSocket&) = delete;

    // Where the socket is: the system picks the port, and for a connected socket the address,
    // when they were given as 0.
    CInternetAddress GetBoundAddress() const;
    CInternetPort GetBoundPort() const;
    CInternetAddress GetPeerAddress() const;

    void Listen();
    // Polled: false while a non-blocking attempt is still under way; the caller applies
    // its own time-out. A refusal throws CFailedToConnectException.
    bool Connect(const CInternetAddress& address, const CInternetPort& port);
    // Takes one pending connection; false when none is pending. Running out of descriptors
    // or memory throws COutOfResourcesException.
    bool Accept(std::shared_ptr<CSocket>& newSocket);

    uint32_t Send(const void* buffer, uint32_t length);
    uint32_t Recv(void* buffer, uint32_t length);

    void SetBlocking(bool blocking);

    // The descriptor to poll on: readable for input or a pending connection, writable when
    // output fits or a connection attempt has settled.
    int GetPollDescriptor() const;

private:
    explicit CSocket(std::shared_ptr<CSocketImpl> impl);

    std::shared_ptr<CSocketImpl> m_Impl;
};

}  // namespace Nerra
