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

std::string VFailureText(const char* traceFormat, va_list args)
{
    return Cut(Cut(VFormat(traceFormat, args)) + ": " + CurrentFailureText());
}
}  // namespace

void RethrowWithTrace(const char* traceFormat, ...)
{
    va_list args;
    va_start(args, traceFormat);
    const std::string trace = Cut(VFormat(traceFormat, args));
    va_end(args);
    try {
        throw;
    } catch (CMessageException& e) {
        e.AddTrace(trace);
        throw;
    } catch (const std::exception& e) {
        CMessageException traced("%s", e.what());
        traced.AddTrace(trace);
        throw traced;
    }
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

std::string CurrentFailureText()
{
    try {
        throw;
    } catch (const CMessageException& e) {
        return Cut(e.GetTrace().empty() ? std::string(e.what()) : Cut(e.what()) + " [trace: " + e.GetTrace() + "]");
    } catch (...) {
        return Cut(CurrentExceptionText());
    }
}

std::string FailureText(const char* traceFormat, ...)
{
    va_list args;
    va_start(args, traceFormat);
    std::string text = VFailureText(traceFormat, args);
    va_end(args);
    return text;
}

void LogFailure(const char* traceFormat, ...) noexcept
{
    try {
        va_list args;
        va_start(args, traceFormat);
        const std::string text = VFailureText(traceFormat, args);
        va_end(args);
        CLog::Instance().Error("%s", text.c_str());
    } catch (...) {
        CLog::Instance().Error("%s: a failure could not be described", traceFormat);
    }
}

void LogCriticalFailure(const char* traceFormat, ...) noexcept
{
    try {
        va_list args;
        va_start(args, traceFormat);
        const std::string text = VFailureText(traceFormat, args);
        va_end(args);
        CLog::Instance().Critical("%s", text.c_str());
    } catch (...) {
        CLog::Instance().Critical("%s: a failure could not be described", traceFormat);
    }
}

}  // namespace Nerra
