#pragma once

#include <memory>

#include "net/CConnectedSocket.h"
#include "net/CInternetAddress.h"
#include "net/CInternetPort.h"
#include "net/CSocketFactory.h"
#include "runtime/CLock.h"
#include "runtime/CThread.h"
#include "runtime/CWorkUnit.h"
#include "runtime/CWorkerThreadPool.h"

namespace Nerra {

// Owns one listening socket and turns every accepted connection into a work unit for a
// parallel pool; a derived class decides what unit a connection becomes. The listener only
// accepts: it looks nothing up, so a slow name server cannot hold other clients back. The owner stops it
// with AbortListeningAndTerminate and then waits for it with WaitFor before releasing it.
//
// The socket stays open through every failure but its own: a connection that fails is
// dropped alone, and an accept that finds no descriptor free pauses, ever longer while the
// shortage lasts, with the clients waiting in the socket's queue.
class CListenerThreadBase : public CThread {
public:
    // Binds and listens at once, so a listener that cannot bind fails here. Every connection
    // gets the inactivity time-out, in seconds, and goes to the pool.
    CListenerThreadBase(const CInternetAddress& address, const CInternetPort& port, int32_t inactivityTimeout,
                        CWorkerThreadPool<CParallelWorkUnit>& pool);

    // Asks the thread to stop and wakes it out of its blocking accept with a connection of
    // its own. Called from the controlling thread.
    void AbortListeningAndTerminate();

protected:
    void Execute() override;
    // The unit that serves the connection, or null when the connection is to be closed.
    virtual std::shared_ptr<CParallelWorkUnit> CreateWorkUnit(const std::shared_ptr<CConnectedSocket>& connection) = 0;

private:
    void CreateSocketFactory();
    void AcceptOne();
    void ServeConnection(const std::shared_ptr<CConnectedSocket>& connection);
    // Waits the given time, or less when a stop is asked for.
    void Pause(uint32_t milliseconds);
    std::shared_ptr<CServerSocketFactory> GetSocketFactory();
    void SetSocketFactory(std::shared_ptr<CServerSocketFactory> factory);

    // After a failure of the listening socket it is dropped and rebuilt after this pause.
    static constexpr int FAILURE_PAUSE_SECONDS = 10;
    // The first and the longest pause while accepting fails for want of resources.
    static constexpr uint32_t SHORTAGE_PAUSE_MS = 100;
    static constexpr uint32_t MAX_SHORTAGE_PAUSE_MS = 5000;

    const CInternetAddress m_Address;
    const CInternetPort m_Port;
    const int32_t m_InactivityTimeout;
    CWorkerThreadPool<CParallelWorkUnit>& m_Pool;
    // Replaced only by the listener thread; the lock lets the controlling thread read it
    // while the listener waits in accept.
    std::shared_ptr<CServerSocketFactory> m_SocketFactory;
    mutable CLock m_SocketFactoryLock;
};

}  // namespace Nerra
