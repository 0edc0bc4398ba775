#pragma once

#include <memory>

#include "net/CConnectedSocket.h"
#include "net/CInternetAddress.h"
#include "net/CInternetPort.h"
#include "net/CSocket.h"

namespace Nerra {

// Turns a socket into connected sockets. Polled through Connect, which returns false while
// nothing is ready. Used by one thread at a time.
class CSocketFactory {
public:
    virtual ~CSocketFactory();
    CSocketFactory(const CSocketFactory&) = delete;
    CSocketFactory& operator=(const CSocketFactory&) = delete;

    virtual bool Connect(std::shared_ptr<CConnectedSocket>& socket) = 0;

    void SetBlocking(bool blocking);

    // Where the factory's own socket actually is: the port the system picked for port 0.
    CInternetAddress GetBoundAddress() const;
    CInternetPort GetBoundPort() const;
    // Readable when a connection waits to be accepted, writable when an attempt has settled.
    int GetPollDescriptor() const;

protected:
    // Creates the factory's socket bound to the local pair; a failure leaves no factory.
    CSocketFactory(const CInternetAddress& localAddress, const CInternetPort& localPort);

    std::shared_ptr<CSocket> m_Socket;
    bool m_Blocking = false;
};

// Listens on the local pair and hands out one connected socket per accepted connection,
// from any peer.
class CServerSocketFactory : public CSocketFactory {
public:
    CServerSocketFactory(const CInternetAddress& localAddress, const CInternetPort& localPort);

    // In blocking mode, waits for the next connection.
    bool Connect(std::shared_ptr<CConnectedSocket>& socket) override;
};

// Connects to the remote pair from a port the system picks. Each successful Connect hands
// the connection out and starts over with a fresh socket, so the next call makes a new one.
class CClientSocketFactory : public CSocketFactory {
public:
    CClientSocketFactory(const CInternetAddress& remoteAddress, const CInternetPort& remotePort);

    // A refused or failed attempt throws CSocket::CFailedToConnectException; the caller
    // applies its own time-out to an attempt that stays under way.
    bool Connect(std::shared_ptr<CConnectedSocket>& socket) override;

private:
    CInternetAddress m_RemoteAddress;
    CInternetPort m_RemotePort;
};

}  // namespace Nerra
