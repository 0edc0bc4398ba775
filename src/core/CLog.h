#pragma once

#include <cstdarg>

#include "core/CMessageException.h"
#include "runtime/CLock.h"

namespace Nerra {

// The process-wide log: one timestamped line per event on standard error, flushed at once.
// Logging never throws; Critical writes its line and ends the process on the spot.
class CLog {
public:
    static CLog& Instance();

    void Info(const char* format, ...) NERRA_PRINTF(2, 3);
    void Warning(const char* format, ...) NERRA_PRINTF(2, 3);
    void Error(const char* format, ...) NERRA_PRINTF(2, 3);
    [[noreturn]] void Critical(const char* format, ...) NERRA_PRINTF(2, 3);

private:
    CLog() = default;
    void Write(const char* level, const char* format, va_list args) noexcept;

    CLock m_Lock;
};

// Sink for libxml2's generic error output: joins the pieces of one message and logs it
// as one ERROR line once its final line feed arrives.
void XMLError(void* context, const char* format, ...);

}  // namespace Nerra
