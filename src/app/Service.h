#pragma once

namespace Nerra {

// Starts the services once the configuration is loaded, before the start-up line.
void StartServices();
// Stops the services after the control loop has ended.
void StopServices();

}  // namespace Nerra
