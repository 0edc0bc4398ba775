#pragma once

namespace Nerra {

// Starts the services once the configuration is loaded, before the start-up line: checks
// every setting, starts the script host on the main thread, then Startup and StartThreads.
void StartServices();
// Stops the services after the control loop has ended, and saves the cached rule sets.
void StopServices();

// Moves leftover fetched messages back to the spool, then schedules the periodic jobs.
void Startup();
void SpoolRawMessages();
void ScheduleDefaultActions();
// Consumers first (worker pools), then producers (timer); stopping goes the other way.
void StartThreads();
void StopThreads();

}  // namespace Nerra
