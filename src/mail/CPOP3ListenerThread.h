#pragma once

#include <memory>

#include "net/CListenerThreadBase.h"

namespace Nerra {

// Accepts mail clients: every connection becomes a CPOP3ServerConnection, up to a number of
// sessions at once; a client past it is told to come back later and is let go.
class CPOP3ListenerThread : public CListenerThreadBase {
public:
    CPOP3ListenerThread(const CInternetAddress& address, const CInternetPort& port, int32_t inactivityTimeout,
                        size_t maxConnections);

protected:
    std::shared_ptr<CParallelWorkUnit> CreateWorkUnit(const std::shared_ptr<CConnectedSocket>& connection) override;

private:
    const size_t m_MaxConnections;
};

// The sessions the POP3 server serves at once: "pop3-max-connections", or without it a
// share of the descriptor limit that leaves room for the mail files the jobs hold open.
size_t ReadMaxPOP3Connections();

// The process's POP3 listener: set by StartThreads, emptied by StopThreads.
std::shared_ptr<CPOP3ListenerThread>& POP3Listener();

}  // namespace Nerra
