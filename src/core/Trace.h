#pragma once

// Every operation of the system names itself in a trace text. When a failure passes
// through it, it writes one ERROR line "<trace>: <message>" and throws the same exception
// on, so the log shows the path of a failure from the innermost operation outwards:
//
//     NERRA_TRACE_BEGIN
//         ... body ...
//     NERRA_TRACE_END("CXMLDocument::SaveTo('%s')", path.c_str())
//
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

// "<trace>: <message>", each part and the whole cut to 4095 characters. A null message
// stands for a failure that is not a standard exception.
std::string TraceText(const char* message, const char* traceFormat, ...) NERRA_PRINTF(2, 3);

// The message of the exception being handled, or "Unknown exception".
std::string CurrentExceptionText();

}  // namespace Nerra

#define NERRA_TRACE_BEGIN try {

#define NERRA_TRACE_CATCH_(action, ...)                                                     \
    }                                                                                      \
    catch (const std::exception& traceException_)                                          \
    {                                                                                      \
        ::Nerra::CLog::Instance().action(                                                  \
            "%s", ::Nerra::TraceText(traceException_.what(), __VA_ARGS__).c_str());         \
        NERRA_TRACE_AFTER_##action                                                         \
    }                                                                                      \
    catch (...)                                                                            \
    {                                                                                      \
        ::Nerra::CLog::Instance().action("%s", ::Nerra::TraceText(nullptr, __VA_ARGS__).c_str()); \
        NERRA_TRACE_AFTER_##action                                                         \
    }

#define NERRA_TRACE_AFTER_Error throw;
#define NERRA_TRACE_AFTER_Critical

// Logs under the trace text and throws the same exception on.
#define NERRA_TRACE_END(...) NERRA_TRACE_CATCH_(Error, __VA_ARGS__)

// Logs under the trace text and ends the process: for failures no caller can handle.
#define NERRA_TRACE_END_CRITICAL(...) NERRA_TRACE_CATCH_(Critical, __VA_ARGS__)

// Logs under the trace text and carries on: destructors, per-item guards, thread loops.
#define NERRA_TRACE_END_CONTINUE(...)                                                       \
    }                                                                                      \
    catch (const std::exception& traceException_)                                          \
    {                                                                                      \
        ::Nerra::CLog::Instance().Error("%s", ::Nerra::TraceText(traceException_.what(), __VA_ARGS__).c_str()); \
    }                                                                                      \
    catch (...)                                                                            \
    {                                                                                      \
        ::Nerra::CLog::Instance().Error("%s", ::Nerra::TraceText(nullptr, __VA_ARGS__).c_str()); \
    }
