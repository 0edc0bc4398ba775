#pragma once

#include <cstdint>
#include <string>

namespace Nerra {

// A TCP or UDP port kept both as a number and as a name. Whichever the caller gives, the
// other is looked up at construction.
class CInternetPort {
public:
    // Values other than these stand for an unknown protocol, which no socket can use.
    enum Protocol : int { tcp = 1, udp = 2 };

    // From a number in host byte order; the name is the service's, or the decimal text.
    CInternetPort(uint16_t hostOrderPort, Protocol protocol);
    // From at most five decimal digits below 65536 (empty is port 0), or a service name.
    CInternetPort(const std::string& name, Protocol protocol);

    uint16_t GetNetworkOrder() const { return m_Port; }
    uint16_t GetHostOrder() const;
    const std::string& GetName() const { return m_Name; }
    std::string GetDecimalText() const;
    Protocol GetProtocol() const { return m_Protocol; }
    const char* GetProtocolText() const { return ProtocolText(m_Protocol); }

    static const char* ProtocolText(Protocol protocol);

private:
    void ResolveName();
    void ResolvePort();

    uint16_t m_Port;  // network byte order
    std::string m_Name;
    Protocol m_Protocol;
};

}  // namespace Nerra
