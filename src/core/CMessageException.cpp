#include "core/CMessageException.h"

#include <cstdio>
#include <vector>

namespace Nerra {

namespace {
constexpr size_t MAX_TRACE = 4095;
}  // namespace

std::string VFormat(const char* format, va_list args)
{
    std::vector<char> buffer(256);
    for (;;) {
        va_list copy;
        va_copy(copy, args);
        int written = vsnprintf(buffer.data(), buffer.size() - 1, format, copy);
        va_end(copy);
        if (written >= 0 && static_cast<size_t>(written) < buffer.size() - 1)
            return std::string(buffer.data(), static_cast<size_t>(written));
        buffer.resize(buffer.size() * 2);
    }
}

std::string Format(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    std::string text = VFormat(format, args);
    va_end(args);
    return text;
}

CMessageException::CMessageException(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    m_Message = VFormat(format, args);
    va_end(args);
}

void CMessageException::AddTrace(const std::string& text)
{
    if (m_Trace.size() >= MAX_TRACE)
        return;
    if (!m_Trace.empty())
        m_Trace += " < ";
    m_Trace += text;
    if (m_Trace.size() > MAX_TRACE)
        m_Trace.resize(MAX_TRACE);
}

}  // namespace Nerra
