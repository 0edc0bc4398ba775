#include "net/CInternetPort.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netdb.h>
#include <vector>

#include "core/Trace.h"
#include "net/CNetwork.h"

namespace Nerra {

namespace {

// Runs one of the re-entrant service look-ups, growing its scratch buffer while it is too
// small. Returns the entry, or null with the system's error code.
template <class Lookup>
servent* LookupService(Lookup lookup, servent& entry, std::vector<char>& buffer, int& error)
{
    buffer.resize(1024);
    for (;;) {
        servent* result = nullptr;
        errno = 0;
        int rc = lookup(&entry, buffer.data(), buffer.size(), &result);
        if (rc == ERANGE && buffer.size() < 1024 * 1024) {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        // A service that is simply not listed is no error to the look-up itself.
        error = rc != 0 ? rc : (errno != 0 ? errno : ENOENT);
        return rc == 0 ? result : nullptr;
    }
}

// At most five decimal digits with a value below 65536; the empty text is port 0.
bool ParsePortNumber(const std::string& text, uint16_t& port)
{
    if (text.size() > 5)
        return false;
    uint32_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + static_cast<uint32_t>(c - '0');
    }
    if (value >= 65536)
        return false;
    port = static_cast<uint16_t>(value);
    return true;
}

}  // namespace

CInternetPort::CInternetPort(uint16_t hostOrderPort) : m_Port(htons(hostOrderPort)), m_Name(std::to_string(hostOrderPort))
{
}

CInternetPort::CInternetPort(const std::string& name) : m_Port(0), m_Name(name)
{
    NERRA_TRACE_BEGIN
    CNetwork::Instance();
    ResolveName();
    NERRA_TRACE_END("CInternetPort::CInternetPort('%s', tcp)", name.c_str())
}

uint16_t CInternetPort::GetHostOrder() const
{
    return ntohs(m_Port);
}

std::string CInternetPort::GetDecimalText() const
{
    return std::to_string(GetHostOrder());
}

void CInternetPort::ResolveName()
{
    NERRA_TRACE_BEGIN
    uint16_t number = 0;
    if (ParsePortNumber(m_Name, number)) {
        m_Port = htons(number);
        return;
    }
    servent entry{};
    std::vector<char> buffer;
    int error = 0;
    const char* protocol = "tcp";
    const std::string& name = m_Name;
    servent* service = LookupService(
        [&name, protocol](servent* e, char* b, size_t n, servent** r) {
            return getservbyname_r(name.c_str(), protocol, e, b, n, r);
        },
        entry, buffer, error);
    if (!service)
        throw CMessageException("getservbyname('%s', %s) failed with WSAGetLastError=%d", m_Name.c_str(), protocol,
                                error);
    m_Port = static_cast<uint16_t>(service->s_port);
    NERRA_TRACE_END("CInternetPort::ResolveName()")
}

}  // namespace Nerra
