#pragma once

// Every operation of the system names itself in a trace text. A failure that passes through
// it takes the text along (in CMessageException's trace) and goes on, so the one place that
// handles the failure logs it once, with the path from the innermost operation outwards:
//
//     NERRA_TRACE_BEGIN
//         ... body ...
//     NERRA_TRACE_END("CXMLDocument::SaveTo('%s')", path.c_str())
//
// The places that handle failures (a work unit, a timer callback, the console, a thread
// body, a destructor) log them with LogFailure or put FailureText into a line of their own.
// Pointers in trace texts print in full with NERRA_PTR and NERRA_PTR_ARG.

#include <cinttypes>
#include <cstdint>
#include <exception>
#include <string>

#include "core/CLog.h"
#include "core/CMessageException.h"

#define NERRA_PTR "0x%016" PRIxPTR
#define NERRA_PTR_ARG(pointer) reinterpret_cast<uintptr_t>(static_cast<const void*>(pointer))

namespace Nerra {

// Call only from a catch handler. Throws the exception being handled on with the trace text
// added; a standard exception goes on as a CMessageException with the same message, anything
// else unchanged.
[[noreturn]] void RethrowWithTrace(const char* traceFormat, ...) NERRA_PRINTF(1, 2);

// The message of the exception being handled, or "Unknown exception".
std::string CurrentExceptionText();
// The message with the path it took, "<message> [trace: <innermost> < ... < <outermost>]".
std::string CurrentFailureText();
// "<trace>: " and CurrentFailureText(), each part cut to 4095 characters.
std::string FailureText(const char* traceFormat, ...) NERRA_PRINTF(1, 2);

// Logs FailureText as one ERROR line; never throws, so destructors may call it.
void LogFailure(const char* traceFormat, ...) noexcept NERRA_PRINTF(1, 2);
// Logs FailureText as a CRITICAL line and ends the process: for failures no caller can handle.
[[noreturn]] void LogCriticalFailure(const char* traceFormat, ...) noexcept NERRA_PRINTF(1, 2);

}  // namespace Nerra

#define NERRA_TRACE_BEGIN try {

// Adds the trace text to a failure and throws it on.
#define NERRA_TRACE_END(...)                    \
    }                                           \
    catch (...)                                 \
    {                                           \
        ::Nerra::RethrowWithTrace(__VA_ARGS__); \
    }

// Logs a failure as CRITICAL and ends the process.
#define NERRA_TRACE_END_CRITICAL(...)             \
    }                                             \
    catch (...)                                   \
    {                                             \
        ::Nerra::LogCriticalFailure(__VA_ARGS__); \
    }

// Logs a failure as ERROR and carries on: destructors, per-item guards, thread loops.
#define NERRA_TRACE_END_CONTINUE(...)     \
    }                                     \
    catch (...)                           \
    {                                     \
        ::Nerra::LogFailure(__VA_ARGS__); \
    }
