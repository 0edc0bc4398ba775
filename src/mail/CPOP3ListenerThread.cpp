#include "mail/CPOP3ListenerThread.h"

#include "mail/CPOP3ServerConnection.h"

namespace Nerra {

std::shared_ptr<CParallelWorkUnit> CPOP3ListenerThread::CreateWorkUnit(
    const std::shared_ptr<CConnectedSocket>& connection)
{
    return std::make_shared<CPOP3ServerConnection>(connection);
}

std::shared_ptr<CPOP3ListenerThread>& POP3Listener()
{
    static std::shared_ptr<CPOP3ListenerThread> listener;
    return listener;
}

}  // namespace Nerra
