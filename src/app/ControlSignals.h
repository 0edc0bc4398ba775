#pragma once

namespace Nerra {

// Service mode's control channel, in place of the console: SIGTERM and SIGINT stop the
// service, SIGHUP saves and unloads the cached rule sets so that edited files take effect.

// Blocks the three signals in the calling thread and so in every thread it starts later,
// leaving them to WaitForStopSignal alone: no work ever runs in a signal handler. Call
// before any thread starts.
void BlockControlSignals();

// Waits until SIGTERM or SIGINT comes, flushing the rule sets at every SIGHUP meanwhile.
void WaitForStopSignal();

}  // namespace Nerra
