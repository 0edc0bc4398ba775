#pragma once

#include <cstdint>
#include <string>

namespace Nerra {

// A TCP port kept both as a number and as a name.
class CInternetPort {
public:
    // From a number in host byte order; its name is the decimal text.
    explicit CInternetPort(uint16_t hostOrderPort);
    // From at most five decimal digits below 65536 (empty is port 0), or a service name
    // looked up in the system's list of services.
    explicit CInternetPort(const std::string& name);

    uint16_t GetNetworkOrder() const { return m_Port; }
    uint16_t GetHostOrder() const;
    const std::string& GetName() const { return m_Name; }
    std::string GetDecimalText() const;

private:
    void ResolveName();

    uint16_t m_Port;  // network byte order
    std::string m_Name;
};

}  // namespace Nerra
