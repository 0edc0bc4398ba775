#pragma once

#include <istream>
#include <optional>
#include <ostream>
#include <string>

namespace Nerra {

// What one command line of the control console comes to: `stop`, or the reply to write
// (none when handling failed; the failure is then in the log).
struct ControlResult {
    bool stop = false;
    std::optional<std::string> reply;
};

ControlResult HandleControlCommand(const std::string& line);

// Reads commands one per line until `stop` or the end of input, answering each on `output`.
// The locks the console took are released when it ends.
void SleepInControlLoop(std::istream& input, std::ostream& output);

}  // namespace Nerra
