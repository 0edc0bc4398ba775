#pragma once

#include <cstdarg>
#include <exception>
#include <string>

namespace Nerra {

#define NERRA_PRINTF(fmt_index, first_arg) __attribute__((format(printf, fmt_index, first_arg)))

// Formats with the growing-buffer rule: start at 256 bytes and double until the text fits.
std::string VFormat(const char* format, va_list args);
std::string Format(const char* format, ...) NERRA_PRINTF(1, 2);

// The one exception class of the system; its text is made printf-style.
class CMessageException : public std::exception {
public:
    explicit CMessageException(const char* format, ...) NERRA_PRINTF(2, 3);
    CMessageException(const CMessageException&) = default;
    CMessageException& operator=(const CMessageException&) = default;
    ~CMessageException() override = default;

    const char* what() const noexcept override { return m_Message.c_str(); }

protected:
    CMessageException() = default;
    std::string m_Message;
};

}  // namespace Nerra
