#include "core/CLog.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sys/syscall.h>
#include <sys/time.h>
#include <unistd.h>

#include "core/TextUtils.h"

namespace Nerra {

namespace {

void WriteAll(const std::string& text)
{
    const char* data = text.data();
    size_t left = text.size();
    while (left > 0) {
        ssize_t n = write(STDERR_FILENO, data, left);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        data += n;
        left -= static_cast<size_t>(n);
    }
}

std::string Timestamp()
{
    timeval now{};
    gettimeofday(&now, nullptr);
    tm local{};
    time_t seconds = now.tv_sec;
    if (!localtime_r(&seconds, &local))
        gmtime_r(&seconds, &local);
    return Format("%04d-%02d-%02d %02d:%02d:%02d.%03d", local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
                  local.tm_hour, local.tm_min, local.tm_sec, static_cast<int>(now.tv_usec / 1000));
}

}  // namespace

uint32_t CurrentThreadId()
{
    static thread_local uint32_t id = static_cast<uint32_t>(syscall(SYS_gettid));
    return id;
}

CLog& CLog::Instance()
{
    // Never destroyed: destructors of other services log while the process winds down.
    static CLog* log = new CLog();
    return *log;
}

void CLog::Write(const char* level, const char* format, va_list args) noexcept
{
    try {
        std::string message = ReplaceControlCharacters(VFormat(format, args), true);
        std::string line = Format("%s [%08x] %s %s\n", Timestamp().c_str(), CurrentThreadId(), level, message.c_str());
        if (strcmp(level, "CRITICAL") == 0) {
            WriteAll(line);
            std::_Exit(3);
        }
        std::lock_guard<std::mutex> guard(m_Lock);
        WriteAll(line);
    } catch (...) {
    }
}

#define NERRA_LOG_LEVEL(method, level)      \
    void CLog::method(const char* format, ...) \
    {                                       \
        va_list args;                       \
        va_start(args, format);             \
        Write(level, format, args);         \
        va_end(args);                       \
    }

NERRA_LOG_LEVEL(Info, "INFO")
NERRA_LOG_LEVEL(Warning, "WARNING")
NERRA_LOG_LEVEL(Error, "ERROR")

void CLog::WarningOnce(const std::string& key, const char* format, ...)
{
    try {
        std::lock_guard<std::mutex> guard(m_OnceLock);
        if (m_OnceKeys.size() >= MAX_ONCE_KEYS)
            m_OnceKeys.clear();
        if (!m_OnceKeys.insert(key).second)
            return;
    } catch (...) {
        // Without memory to remember the key, the warning is still worth writing.
    }
    va_list args;
    va_start(args, format);
    Write("WARNING", format, args);
    va_end(args);
}

void CLog::Critical(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    Write("CRITICAL", format, args);
    va_end(args);
    std::_Exit(3);  // reached only when even formatting failed
}

void XMLError(void* context, const char* format, ...)
{
    // Never destroyed: libxml2 may report while the process winds down.
    static std::mutex* lock = new std::mutex();
    static std::string* pending = new std::string();
    try {
        std::lock_guard<std::mutex> guard(*lock);
        va_list args;
        va_start(args, format);
        std::string piece = VFormat(format, args);
        va_end(args);
        if (!piece.empty()) {
            *pending += piece;
            if (piece.back() == '\n') {
                CLog::Instance().Error("XMLError(): %s", pending->c_str());
                pending->clear();
            }
        }
    } catch (const std::exception& e) {
        CLog::Instance().Error("XMLError(0x%016zx, '%s'): %s", reinterpret_cast<size_t>(context), format, e.what());
    }
}

}  // namespace Nerra
