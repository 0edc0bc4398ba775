#pragma once

#include <cstdarg>
#include <cstdint>
#include <mutex>
#include <set>
#include <string>

#include "core/CMessageException.h"

namespace Nerra {

// The operating system's id of the calling thread, as log lines show it.
uint32_t CurrentThreadId();

// The process-wide log: one timestamped line per event on standard error, flushed at once.
// Logging never throws; Critical writes its line and ends the process on the spot.
class CLog {
public:
    static CLog& Instance();

    void Info(const char* format, ...) NERRA_PRINTF(2, 3);
    void Warning(const char* format, ...) NERRA_PRINTF(2, 3);
    void Error(const char* format, ...) NERRA_PRINTF(2, 3);
    [[noreturn]] void Critical(const char* format, ...) NERRA_PRINTF(2, 3);
    // A WARNING the first time `key` is met; later calls with the same key are silent, so a
    // condition that a periodic job meets on every run is reported once.
    void WarningOnce(const std::string& key, const char* format, ...) NERRA_PRINTF(3, 4);

private:
    CLog() = default;
    void Write(const char* level, const char* format, va_list args) noexcept;

    // Past this many keys the memory starts afresh: a warning may repeat, but the set
    // never grows without bound however many odd things it is shown.
    static constexpr size_t MAX_ONCE_KEYS = 4096;

    std::mutex m_Lock;
    std::mutex m_OnceLock;
    std::set<std::string> m_OnceKeys;
};

// Sink for libxml2's generic error output: joins the pieces of one message and logs it
// as one ERROR line once its final line feed arrives.
void XMLError(void* context, const char* format, ...);

}  // namespace Nerra
