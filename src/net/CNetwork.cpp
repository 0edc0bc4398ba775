#include "net/CNetwork.h"

#include <cerrno>
#include <csignal>

#include "core/Trace.h"

namespace Nerra {

CNetwork::CNetwork()
{
    NERRA_TRACE_BEGIN
    // A peer that closes while we write must fail the write, not end the process. Every send
    // already passes MSG_NOSIGNAL; ignoring the signal also covers writes made by libraries.
    struct sigaction action {};
    action.sa_handler = SIG_IGN;
    sigemptyset(&action.sa_mask);
    if (sigaction(SIGPIPE, &action, nullptr) != 0)
        throw CMessageException("sigaction(SIGPIPE) failed with errno=%d", errno);
    NERRA_TRACE_END("CNetwork::CNetwork()")
}

CNetwork& CNetwork::Instance()
{
    // The sockets need no library start-up here, so nothing is left to clean up at exit.
    static CNetwork network;
    return network;
}

}  // namespace Nerra
