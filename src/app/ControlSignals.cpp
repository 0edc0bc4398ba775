#include "app/ControlSignals.h"

#include <cerrno>
#include <csignal>
#include <cstring>

#include "core/Trace.h"
#include "mail/PeriodicJobs.h"

namespace Nerra {

namespace {

sigset_t ControlSignalSet()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGHUP);
    return set;
}

}  // namespace

void BlockControlSignals()
{
    NERRA_TRACE_BEGIN
    // An ignored signal is dropped before anyone can wait for it, and a service started
    // from a shell in the background inherits SIGINT and SIGHUP ignored.
    for (int number : {SIGTERM, SIGINT, SIGHUP})
        signal(number, SIG_DFL);
    const sigset_t set = ControlSignalSet();
    const int error = pthread_sigmask(SIG_BLOCK, &set, nullptr);
    if (error != 0)
        throw CMessageException("pthread_sigmask: %s", strerror(error));
    NERRA_TRACE_END("BlockControlSignals()")
}

void WaitForStopSignal()
{
    NERRA_TRACE_BEGIN
    const sigset_t set = ControlSignalSet();
    for (;;) {
        int number = 0;
        const int error = sigwait(&set, &number);
        if (error == EINTR)
            continue;
        if (error != 0)
            throw CMessageException("sigwait: %s", strerror(error));
        if (number != SIGHUP) {
            CLog::Instance().Info("WaitForStopSignal(): %s received", number == SIGTERM ? "SIGTERM" : "SIGINT");
            return;
        }
        CLog::Instance().Info("WaitForStopSignal(): SIGHUP received, saving and unloading the cached rule sets");
        try {
            TimerCallback_FlushRuleSets("");
        } catch (...) {
            // The service goes on as after a failed periodic flush.
            LogFailure("WaitForStopSignal()");
        }
    }
    NERRA_TRACE_END("WaitForStopSignal()")
}

}  // namespace Nerra
