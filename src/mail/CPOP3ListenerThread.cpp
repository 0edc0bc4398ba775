#include "mail/CPOP3ListenerThread.h"

#include <algorithm>

#include "core/CConfig.h"
#include "core/CFile.h"
#include "mail/CPOP3ServerConnection.h"

namespace Nerra {

namespace {
const char* const TOO_MANY_CONNECTIONS = "-ERR [SYS/TEMP] Too many connections\r\n";
}  // namespace

CPOP3ListenerThread::CPOP3ListenerThread(const CInternetAddress& address, const CInternetPort& port,
                                         int32_t inactivityTimeout, size_t maxConnections)
    : CListenerThreadBase(address, port, inactivityTimeout, ParallelPool()), m_MaxConnections(maxConnections)
{
}

std::shared_ptr<CParallelWorkUnit> CPOP3ListenerThread::CreateWorkUnit(
    const std::shared_ptr<CConnectedSocket>& connection)
{
    if (CPOP3ServerConnection::GetLiveCount() < m_MaxConnections)
        return std::make_shared<CPOP3ServerConnection>(connection);
    // A fresh socket's buffer takes the line at once; the connection closes when it goes.
    connection->SendLine(TOO_MANY_CONNECTIONS);
    connection->Send(nullptr, 0);
    return nullptr;
}

size_t ReadMaxPOP3Connections()
{
    CConfig& config = CConfig::Instance();
    if (config.HasValue("pop3-max-connections"))
        return static_cast<size_t>(config.GetNumber("pop3-max-connections"));
    // A session holds up to three descriptors: its socket, the mailbox lock and the message
    // being sent. Sessions may take three eighths of the limit; the rest stays for the files
    // that spooling and fetching hold open.
    return static_cast<size_t>(std::max<uint64_t>(1, CFile::OpenFileLimit() / 8));
}

std::shared_ptr<CPOP3ListenerThread>& POP3Listener()
{
    static std::shared_ptr<CPOP3ListenerThread> listener;
    return listener;
}

}  // namespace Nerra
