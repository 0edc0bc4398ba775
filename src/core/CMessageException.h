#pragma once

#include <cstdarg>
#include <exception>
#include <string>

namespace Nerra {

#define NERRA_PRINTF(fmt_index, first_arg) __attribute__((format(printf, fmt_index, first_arg)))

// Formats with the growing-buffer rule: start at 256 bytes and double until the text fits.
std::string VFormat(const char* format, va_list args);
std::string Format(const char* format, ...) NERRA_PRINTF(1, 2);

// The one exception class of the system; its text is made printf-style. On its way out it
// gathers the trace texts of the operations it passes (see Trace.h), so the one place that
// handles it can log the whole path in one line; what() stays the bare message, since it is
// also what a console reply or a refusal names.
class CMessageException : public std::exception {
public:
    explicit CMessageException(const char* format, ...) NERRA_PRINTF(2, 3);
    CMessageException(const CMessageException&) = default;
    CMessageException& operator=(const CMessageException&) = default;
    ~CMessageException() override = default;

    const char* what() const noexcept override { return m_Message.c_str(); }

    // Adds the trace text of the next operation outwards. The path is cut at 4095 characters:
    // a failure deep in a loop must not make a line the log cannot hold.
    void AddTrace(const std::string& text);
    // The operations passed, innermost first, joined by " < "; empty when none.
    const std::string& GetTrace() const { return m_Trace; }

protected:
    CMessageException() = default;
    std::string m_Message;
    std::string m_Trace;
};

}  // namespace Nerra
