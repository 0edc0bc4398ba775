#include "mail/FilingHeader.h"

#include <cstring>
#include <ctime>

#include "core/CConfig.h"
#include "core/CFile.h"
#include "core/TextUtils.h"
#include "core/Trace.h"
#include "mail/CUserXML.h"
#include "message/CMessageHeader.h"

namespace Nerra {

namespace {

constexpr uint32_t HEADER_READ_LIMIT = 65536;

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

}  // namespace

std::string ReadMessageHeaderText(const std::string& path, uint32_t& size)
{
    CFile file(path, CFile::Reading, CFile::MustExist);
    std::string data(HEADER_READ_LIMIT, '\0');
    uint32_t read = 0;
    while (read < HEADER_READ_LIMIT) {
        uint32_t n = file.Read(&data[read], HEADER_READ_LIMIT - read);
        if (n == 0)
            break;
        read += n;
    }
    data.resize(read);
    size = file.GetSize();
    // The data is cut at a NUL byte, as a C string of it would be.
    data.resize(strnlen(data.c_str(), data.size()));

    const size_t crlf = data.find("\r\n\r\n");
    const size_t lf = data.find("\n\n");
    if (crlf == std::string::npos && lf == std::string::npos)
        throw CMessageException("The message is broken, the first %d bytes don't contain the message header",
                                static_cast<int>(read));
    if (lf == std::string::npos || (crlf != std::string::npos && crlf < lf))
        return data.substr(0, crlf + 4);
    return Replace(data.substr(0, lf + 2), "\n", "\r\n");
}

std::string NewMessageId(const std::string& headerText)
{
    return LocalTimeStamp() + "-" + ShortHash(headerText.data(), headerText.size()) + "-" +
           ToUpper(RandomUuid().substr(0, 8));
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
    const time_t now = time(nullptr);
    for (const auto& expiry : EXPIRY_FIELDS)
        header->AddValue(expiry.field, TimeToString(now + expiry.seconds));
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
