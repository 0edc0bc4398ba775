#include "core/TextUtils.h"

#include <chrono>
#include <cstring>
#include <sys/time.h>

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <uuid/uuid.h>

#include "core/Trace.h"

namespace Nerra {

const boost::regex WordPattern("^[[:word:]]{1,32}$");
const boost::regex UserMailboxPattern("([[:word:]]{1,32})(?:/([[:word:]]{1,32}))?");
const boost::regex PrintablePattern("^[[:print:]]{1,32}$");
const boost::regex Digits8Pattern("^[[:digit:]]{1,8}$");
const boost::regex Digits10Pattern("^[[:digit:]]{1,10}$");
const boost::regex Sha1HexPattern("^[[:xdigit:]]{40}$");
const boost::regex DateTimePattern(
    "^(20(?:[0-2][0-9]|3[0-7]))-(0[1-9]|1[0-2])-(0[1-9]|[1-2][0-9]|3[0-1]) ([0-1][0-9]|2[0-3]):([0-5][0-9]):([0-5][0-9])$");
const boost::regex ParamNamePattern("^[[:word:]]+(?:-[[:word:]]+)*$");

namespace {
constexpr size_t MAX_REGEXED_LINE = 2048;

bool IsTrimmed(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

thread_local uint32_t t_RandomState = 1;
const std::chrono::steady_clock::time_point g_CounterStart = std::chrono::steady_clock::now();
}  // namespace

bool MatchesWhole(const std::string& text, const boost::regex& pattern)
{
    return boost::regex_match(text, pattern);
}

std::string Replace(const std::string& text, const std::string& search, const std::string& replacement)
{
    NERRA_TRACE_BEGIN
    if (search.empty())
        return text;
    std::string result;
    result.reserve(text.size());
    size_t from = 0;
    for (size_t at; (at = text.find(search, from)) != std::string::npos; from = at + search.size()) {
        result.append(text, from, at - from);
        result += replacement;
    }
    result.append(text, from, std::string::npos);
    return result;
    NERRA_TRACE_END("Replace('%s', '%s', '%s')", text.c_str(), search.c_str(), replacement.c_str())
}

std::string Trim(const std::string& text)
{
    size_t first = 0, last = text.size();
    while (first < last && IsTrimmed(text[first]))
        ++first;
    while (last > first && IsTrimmed(text[last - 1]))
        --last;
    return text.substr(first, last - first);
}

std::string ToLower(std::string text)
{
    for (char& c : text)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return text;
}

std::string ToUpper(std::string text)
{
    for (char& c : text)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return text;
}

std::string ReplaceControlCharacters(std::string text, bool all)
{
    for (char& c : text) {
        unsigned char byte = static_cast<unsigned char>(c);
        if (byte >= 1 && byte <= 31 && (all || (c != '\t' && c != '\n' && c != '\r')))
            c = ' ';
    }
    return text;
}

std::string ValidateRegexedLine(const std::string& line)
{
    NERRA_TRACE_BEGIN
    if (line.size() <= MAX_REGEXED_LINE)
        return line;
    CLog::Instance().Warning(
        "ValidateRegexedLine(): input line is too long, exceeds %d bytes, truncated before further processing",
        static_cast<int>(MAX_REGEXED_LINE));
    return line.substr(0, MAX_REGEXED_LINE);
    NERRA_TRACE_END("ValidateRegexedLine('%s')", line.c_str())
}

std::string EscapeRegex(const std::string& text)
{
    NERRA_TRACE_BEGIN
    static const char special[] = ".|*?+(){}[]^$\\";
    std::string result;
    result.reserve(text.size() * 2);
    for (char c : text) {
        if (c != '\0' && strchr(special, c))
            result += '\\';
        result += c;
    }
    return result;
    NERRA_TRACE_END("EscapeRegex('%s')", text.c_str())
}

std::string EscapePython(const std::string& text)
{
    NERRA_TRACE_BEGIN
    return Replace(Replace(text, "\\", "\\\\"), "\"", "\\\"");
    NERRA_TRACE_END("EscapePython('%s')", text.c_str())
}

std::string TimeToString(time_t value)
{
    NERRA_TRACE_BEGIN
    tm local{};
    if (!localtime_r(&value, &local))
        throw CMessageException("localtime_r(%lld) failed", static_cast<long long>(value));
    char buffer[32];
    strftime(buffer, sizeof buffer, "%Y-%m-%d %H:%M:%S", &local);
    return buffer;
    NERRA_TRACE_END("TimeToString(%u)", static_cast<unsigned>(value))
}

time_t StringToTime(const std::string& text)
{
    NERRA_TRACE_BEGIN
    boost::smatch groups;
    if (!boost::regex_match(text, groups, DateTimePattern))
        throw CMessageException("Invalid date/time value: %s", text.c_str());
    tm local{};
    local.tm_year = std::stoi(groups[1]) - 1900;
    local.tm_mon = std::stoi(groups[2]) - 1;
    local.tm_mday = std::stoi(groups[3]);  // a day past the month's end rolls over
    local.tm_hour = std::stoi(groups[4]);
    local.tm_min = std::stoi(groups[5]);
    local.tm_sec = std::stoi(groups[6]);
    local.tm_isdst = -1;
    return mktime(&local);
    NERRA_TRACE_END("StringToTime('%s')", text.c_str())
}

std::string LocalTimeStamp()
{
    timeval now{};
    gettimeofday(&now, nullptr);
    tm local{};
    time_t seconds = now.tv_sec;
    localtime_r(&seconds, &local);
    return Format("%04d%02d%02d%02d%02d%02d%03d", local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
                  local.tm_hour, local.tm_min, local.tm_sec, static_cast<int>(now.tv_usec / 1000));
}

std::string DecodeBASE64(const std::string& text)
{
    NERRA_TRACE_BEGIN
    std::string values;  // one entry per 6-bit value or pad mark
    int pads = 0;
    for (unsigned char c : text) {
        int value;
        if (c >= 'A' && c <= 'Z') value = c - 'A';
        else if (c >= 'a' && c <= 'z') value = c - 'a' + 26;
        else if (c >= '0' && c <= '9') value = c - '0' + 52;
        else if (c == '+') value = 62;
        else if (c == '/') value = 63;
        else if (c == '=') { value = 0; ++pads; }
        else continue;
        values += static_cast<char>(value);
    }
    const size_t n = values.size();
    if (pads > 2 || n == 0 || n % 4 != 0)
        return std::string();
    std::string bytes;
    bytes.reserve(n / 4 * 3);
    for (size_t i = 0; i < n; i += 4) {
        unsigned a = static_cast<unsigned char>(values[i]), b = static_cast<unsigned char>(values[i + 1]);
        unsigned c = static_cast<unsigned char>(values[i + 2]), d = static_cast<unsigned char>(values[i + 3]);
        bytes += static_cast<char>((a * 4 + b / 16) & 0xFF);
        bytes += static_cast<char>(((b % 16) * 16 + c / 4) & 0xFF);
        bytes += static_cast<char>(((c % 4) * 64 + d) & 0xFF);
    }
    bytes.resize(n / 4 * 3 - static_cast<size_t>(pads));
    return bytes;
    NERRA_TRACE_END("DecodeBASE64('%s')", text.c_str())
}

namespace {
void Sha1(const void* data, size_t length, unsigned char digest[20])
{
    unsigned int size = 0;
    if (!EVP_Digest(data, length, digest, &size, EVP_sha1(), nullptr) || size != 20)
        throw CMessageException("SHA-1 digest failed");
}
}  // namespace

std::string Sha1Hex(const void* data, size_t length)
{
    unsigned char digest[20];
    Sha1(data, length, digest);
    std::string hex;
    for (unsigned char byte : digest)
        hex += Format("%02x", byte);
    return hex;
}

bool EqualInConstantTime(const std::string& a, const std::string& b)
{
    // Texts of one length are compared whole, wherever they differ. A text of another length
    // is compared with itself instead, which takes as long: the time depends on the length
    // of `a` alone, and tells nothing of `b`.
    if (a.size() != b.size()) {
        CRYPTO_memcmp(a.data(), a.data(), a.size());
        return false;
    }
    return CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

std::string ShortHash(const void* data, size_t length)
{
    unsigned char digest[20];
    Sha1(data, length, digest);
    uint32_t w[5];
    for (int i = 0; i < 5; ++i)
        w[i] = static_cast<uint32_t>(digest[4 * i]) | static_cast<uint32_t>(digest[4 * i + 1]) << 8 |
               static_cast<uint32_t>(digest[4 * i + 2]) << 16 | static_cast<uint32_t>(digest[4 * i + 3]) << 24;
    return Format("%08X%08X", w[0] ^ w[1] ^ w[2], w[2] ^ w[3] ^ w[4]);
}

void SeedThreadRandom(unsigned seed) { t_RandomState = seed; }

int ThreadRand()
{
    // The classic linear congruential generator, kept per thread.
    t_RandomState = t_RandomState * 214013u + 2531011u;
    return static_cast<int>((t_RandomState >> 16) & 0x7FFF);
}

uint32_t Random32(uint32_t modulus)
{
    uint32_t r1 = static_cast<uint32_t>(ThreadRand());
    uint32_t r2 = static_cast<uint32_t>(ThreadRand());
    uint32_t r3 = static_cast<uint32_t>(ThreadRand());
    uint32_t value = (((r1 & 4095u) | (r2 << 12)) << 12) | (r3 & 4095u);
    return modulus ? value % modulus : value;
}

std::string RandomUuid()
{
    uuid_t id;
    uuid_generate_random(id);
    char text[37];
    uuid_unparse_lower(id, text);
    return text;
}

uint64_t GetElapsedMicroseconds()
{
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - g_CounterStart).count());
}

}  // namespace Nerra
