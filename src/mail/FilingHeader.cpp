#include "mail/FilingHeader.h"

#include <algorithm>
#include <cstring>
#include <ctime>
#include <iterator>
#include <string_view>
#include <vector>

#include "core/CConfig.h"
#include "core/CFile.h"
#include "core/TextUtils.h"
#include "core/Trace.h"
#include "mail/CUserXML.h"
#include "message/CMessageHeader.h"

namespace Nerra {

namespace {

constexpr uint32_t HEADER_READ_LIMIT = 65536;
constexpr uint32_t HEADER_READ_STEP = 8192;

const struct {
    const char* field;
    long seconds;
} EXPIRY_FIELDS[] = {
    {"x-nerra-expires-one-minute", 60},          {"x-nerra-expires-five-minutes", 300},
    {"x-nerra-expires-ten-minutes", 600},        {"x-nerra-expires-fifteen-minutes", 900},
    {"x-nerra-expires-half-hour", 1800},         {"x-nerra-expires-one-hour", 3600},
    {"x-nerra-expires-two-hours", 7200},         {"x-nerra-expires-three-hours", 10800},
    {"x-nerra-expires-six-hours", 21600},        {"x-nerra-expires-one-day", 86400},
    {"x-nerra-expires-two-days", 172800},        {"x-nerra-expires-three-days", 259200},
    {"x-nerra-expires-one-week", 604800},        {"x-nerra-expires-two-weeks", 1209600},
    {"x-nerra-expires-one-month", 2419200},      {"x-nerra-expires-two-months", 4838400},
    {"x-nerra-expires-three-months", 7257600},   {"x-nerra-expires-six-months", 14515200},
    {"x-nerra-expires-one-year", 31536000},
};

// The expiry fields' values for the current second, made once per second and thread: a
// backlog is filtered thousands of messages a second.
const std::vector<std::string>& ExpiryTexts()
{
    thread_local time_t second = -1;
    thread_local std::vector<std::string> texts;
    const time_t now = time(nullptr);
    if (now != second) {
        texts.clear();
        for (const auto& expiry : EXPIRY_FIELDS)
            texts.push_back(TimeToString(now + expiry.seconds));
        second = now;
    }
    return texts;
}

}  // namespace

std::string ReadMessageHeaderText(CFile& file, uint32_t& size)
{
    // Read in steps up to the empty line: most headers are a few KiB.
    std::string data;
    uint32_t read = 0;
    size_t crlf = std::string::npos, lf = std::string::npos;
    while (read < HEADER_READ_LIMIT && crlf == std::string::npos && lf == std::string::npos) {
        const uint32_t step = std::min(HEADER_READ_STEP, HEADER_READ_LIMIT - read);
        data.resize(read + step);
        const uint32_t n = file.Read(&data[read], step);
        data.resize(read + n);
        if (n == 0)
            break;
        read += n;
        // The data is cut at a NUL byte, as a C string of it would be.
        const size_t text = strnlen(data.c_str(), data.size());
        crlf = std::string_view(data.data(), text).find("\r\n\r\n");
        lf = std::string_view(data.data(), text).find("\n\n");
    }
    size = file.GetSize();
    if (crlf == std::string::npos && lf == std::string::npos)
        throw CMessageException("The message is broken, the first %d bytes don't contain the message header",
                                static_cast<int>(read));
    if (lf == std::string::npos || (crlf != std::string::npos && crlf < lf))
        return data.substr(0, crlf + 4);
    return Replace(data.substr(0, lf + 2), "\n", "\r\n");
}

std::string ReadMessageHeaderText(const std::string& path, uint32_t& size)
{
    CFile file(path, CFile::Reading, CFile::MustExist);
    return ReadMessageHeaderText(file, size);
}

std::string NewMessageId(const std::string& headerText)
{
    // Eight random hex digits part two messages with equal headers filed in the same
    // millisecond; the thread's own generator gives them without a system call.
    return LocalTimeStamp() + "-" + ShortHash(headerText.data(), headerText.size()) + "-" +
           Format("%08X", Random32(0));
}

std::shared_ptr<CMessageHeader> BuildFilingHeader(const std::string& headerText, uint32_t size,
                                                  const std::string& messageId, const std::string& userName,
                                                  const CUserXML* user)
{
    NERRA_TRACE_BEGIN
    auto header = std::make_shared<CMessageHeader>(headerText);
    header->AddValue("x-nerra-message-size", Format("%u", size));
    header->AddValue("x-nerra-message-id", messageId);
    header->AddValue("x-nerra-random-short", Format("%u", Random32(1000)));
    header->AddValue("x-nerra-random-long", Format("%u", Random32(0)));
    header->AddValue("x-nerra-username", userName);
    for (size_t i = 0; i < std::size(EXPIRY_FIELDS); ++i)
        header->AddValue(EXPIRY_FIELDS[i].field, ExpiryTexts()[i]);
    header->AddValue("x-nerra-expires-never", "2037-12-31 23:59:59");
    for (const auto& [name, value] : CConfig::Instance().GetValues())
        header->AddValue("x-nerra-" + name, value);
    if (user) {
        CXPathObject params = CXPathContext(*user).Eval("/user/params/param");
        for (size_t i = 0; i < params.GetNodeCount(); ++i) {
            CXPathContext param(params.GetNode(i));
            header->AddValue("x-nerra-user-" + param.Eval("@name").GetText(), param.Eval("@value").GetText());
        }
    }
    return header;
    NERRA_TRACE_END("BuildFilingHeader('%s')", headerText.c_str())
}

}  // namespace Nerra
