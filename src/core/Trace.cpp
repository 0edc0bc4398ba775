#include "core/Trace.h"

#include <cstdarg>

namespace Nerra {

namespace {
constexpr size_t MAX_TRACE_TEXT = 4095;

std::string Cut(std::string text)
{
    if (text.size() > MAX_TRACE_TEXT)
        text.resize(MAX_TRACE_TEXT);
    return text;
}
}  // namespace

std::string TraceText(const char* message, const char* traceFormat, ...)
{
    va_list args;
    va_start(args, traceFormat);
    std::string trace = Cut(VFormat(traceFormat, args));
    va_end(args);
    return Cut(trace + ": " + (message ? message : "Unknown exception"));
}

std::string CurrentExceptionText()
{
    try {
        throw;
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "Unknown exception";
    }
}

}  // namespace Nerra
