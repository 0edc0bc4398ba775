#include "net/CInternetAddress.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netdb.h>
#include <unistd.h>
#include <vector>

#include "core/TextUtils.h"
#include "core/Trace.h"
#include "net/CNetwork.h"

namespace Nerra {

namespace {

constexpr uint32_t ADDRESS_NONE = 0xFFFFFFFFu;

// Runs one of the re-entrant host look-ups, growing its scratch buffer while it is too
// small. Returns the entry, or null with the error: the resolver's own code, or the
// system's errno when the failure lies outside the resolver.
template <class Lookup>
hostent* LookupHost(Lookup lookup, hostent& entry, std::vector<char>& buffer, int& error)
{
    buffer.resize(1024);
    for (;;) {
        hostent* result = nullptr;
        int resolverError = 0;
        int rc = lookup(&entry, buffer.data(), buffer.size(), &result, &resolverError);
        if (rc == ERANGE && buffer.size() < 1024 * 1024) {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        error = (resolverError == NETDB_INTERNAL || resolverError == 0) && rc != 0 ? rc : resolverError;
        return rc == 0 ? result : nullptr;
    }
}

}  // namespace

CInternetAddress::CInternetAddress(uint32_t hostOrderAddress)
    : m_Address(htonl(hostOrderAddress)), m_Name(DottedText(hostOrderAddress))
{
}

CInternetAddress::CInternetAddress(const std::string& name) : m_Address(ADDRESS_NONE), m_Name(name)
{
    NERRA_TRACE_BEGIN
    CNetwork::Instance();
    ResolveName();
    NERRA_TRACE_END("CInternetAddress::CInternetAddress('%s')", name.c_str())
}

uint32_t CInternetAddress::GetHostOrder() const
{
    return ntohl(m_Address);
}

std::string CInternetAddress::GetDottedText() const
{
    return DottedText(GetHostOrder());
}

std::string CInternetAddress::DottedText(uint32_t hostOrderAddress)
{
    return Format("%u.%u.%u.%u", (hostOrderAddress >> 24) & 0xFFu, (hostOrderAddress >> 16) & 0xFFu,
                  (hostOrderAddress >> 8) & 0xFFu, hostOrderAddress & 0xFFu);
}

void CInternetAddress::ResolveName()
{
    NERRA_TRACE_BEGIN
    in_addr parsed{};
    if (inet_pton(AF_INET, m_Name.c_str(), &parsed) == 1) {
        m_Address = parsed.s_addr;
        return;
    }

    hostent entry{};
    std::vector<char> buffer;
    int resolverError = 0;
    const std::string name = m_Name;
    hostent* host = LookupHost(
        [&name](hostent* e, char* b, size_t n, hostent** r, int* h) {
            return gethostbyname_r(name.c_str(), e, b, n, r, h);
        },
        entry, buffer, resolverError);
    if (!host)
        throw CMessageException("Unable to resolve DNS name '%s', WSAGetLastError=%d", name.c_str(), resolverError);

    if (host->h_name)
        m_Name = host->h_name;
    if (host->h_length != 4)
        throw CMessageException("DNS name '%s' got resolved to an address %d bytes in size", name.c_str(),
                                host->h_length);
    uint32_t count = 0;
    while (host->h_addr_list && host->h_addr_list[count])
        ++count;
    if (count == 0)
        throw CMessageException("DNS query for '%s' succeeded but returned an empty list of addresses", name.c_str());

    const char* picked = host->h_addr_list[Random32(count)];
    memcpy(&m_Address, picked, sizeof(m_Address));
    NERRA_TRACE_END("CInternetAddress::ResolveName()")
}

std::string CInternetAddress::LocalHostName()
{
    char host[256] = {};
    if (gethostname(host, sizeof host - 1) == 0 && host[0])
        return host;
    return "localhost";
}

std::string CInternetAddress::LookUpHostName() const
{
    NERRA_TRACE_BEGIN
    const std::string dotted = GetDottedText();
    hostent entry{};
    std::vector<char> buffer;
    int resolverError = 0;
    const uint32_t address = m_Address;
    hostent* host = LookupHost(
        [&address](hostent* e, char* b, size_t n, hostent** r, int* h) {
            return gethostbyaddr_r(&address, sizeof(address), AF_INET, e, b, n, r, h);
        },
        entry, buffer, resolverError);
    if (host && host->h_name)
        return host->h_name;
    if (host || resolverError == HOST_NOT_FOUND || resolverError == NO_DATA || resolverError == TRY_AGAIN) {
        CLog::Instance().Warning(
            "CInternetAddress::ResolveIP(): DNS name for address '%s' not found, no data or DNS server failure",
            dotted.c_str());
        return dotted;
    }
    throw CMessageException("Unable to reverse resolve %s, WSAGetLastError=%d", dotted.c_str(), resolverError);
    NERRA_TRACE_END("CInternetAddress::ResolveIP()")
}

}  // namespace Nerra
