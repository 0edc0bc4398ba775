#pragma once

#include <cstdint>
#include <string>

namespace Nerra {

// An IPv4 address kept both as a number and as a name.
class CInternetAddress {
public:
    // From a number in host byte order; its name is the dotted text, with no look-up.
    explicit CInternetAddress(uint32_t hostOrderAddress);
    // From a dotted quad, taken as is, or a host name, resolved on the calling thread to one
    // of its addresses picked at random so that connections spread over all of them.
    explicit CInternetAddress(const std::string& name);

    uint32_t GetNetworkOrder() const { return m_Address; }
    uint32_t GetHostOrder() const;
    const std::string& GetName() const { return m_Name; }
    std::string GetDottedText() const;
    bool IsAny() const { return m_Address == 0; }

    // The address's host name by reverse look-up, on the calling thread: the dotted text
    // (with a WARNING) when there is none. Never on a thread that serves many peers.
    std::string LookUpHostName() const;

    static std::string DottedText(uint32_t hostOrderAddress);
    // How this host names itself.
    static std::string LocalHostName();

private:
    void ResolveName();

    uint32_t m_Address;  // network byte order; 0 is the any-address, all bits set "none"
    std::string m_Name;
};

}  // namespace Nerra
