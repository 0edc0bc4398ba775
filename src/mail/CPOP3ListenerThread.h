#pragma once

#include <memory>

#include "mail/CPOP3ServerConnection.h"
#include "net/CListenerThreadBase.h"

namespace Nerra {

// Accepts mail clients: every connection becomes a CPOP3ServerConnection, up to a number of
// sessions at once (counted over all listeners); a client past it is told to come back later
// and is let go.
class CPOP3ListenerThread : public CListenerThreadBase {
public:
    CPOP3ListenerThread(const CInternetAddress& address, const CInternetPort& port, int32_t inactivityTimeout,
                        size_t maxConnections, CPOP3ServerSettings settings = CPOP3ServerSettings());

protected:
    std::shared_ptr<CParallelWorkUnit> CreateWorkUnit(const std::shared_ptr<CConnectedSocket>& connection) override;

private:
    const size_t m_MaxConnections;
    const CPOP3ServerSettings m_Settings;
};

// The sessions the POP3 server serves at once: "pop3-max-connections", or without it a
// share of the descriptor limit that leaves room for the mail files the jobs hold open.
size_t ReadMaxPOP3Connections();

// The TLS settings of the plain port: "pop3-tls-certificate-file" and "pop3-tls-key-file"
// (both or neither) and "pop3-require-tls" ("true" or "false"). Fails naming the setting
// when they do not fit together or the files cannot be used.
CPOP3ServerSettings ReadPOP3ServerSettings();

// The process's POP3 listeners, the plain port and the implicit TLS port ("pop3s-port",
// when set): set by StartThreads, emptied by StopThreads.
std::shared_ptr<CPOP3ListenerThread>& POP3Listener();
std::shared_ptr<CPOP3ListenerThread>& POP3SListener();

}  // namespace Nerra
