#pragma once

namespace Nerra {

// Starts the services once the configuration is loaded, before the start-up line: checks
// every setting, starts the script host on the main thread, then Startup and StartThreads.
void StartServices();
// Stops the services after the control loop has ended, and saves the cached rule sets.
void StopServices();

// Moves leftover messages of .raw back to the spool, discards incomplete downloads and
// removes what interrupted rule-set saves left behind, then schedules the periodic jobs.
void Startup();
void SpoolRawMessages();
// A rule set is saved to ruleset.xml.NNN and renamed over ruleset.xml: a process killed in
// between leaves the temporary, which nothing ever reads.
void RemoveRuleSetTemporaries();
void ScheduleDefaultActions();
// Consumers first (worker pools), then producers (timer); stopping goes the other way.
void StartThreads();
void StopThreads();

}  // namespace Nerra
