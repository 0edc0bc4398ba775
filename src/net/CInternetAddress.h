#pragma once

#include <cstdint>
#include <string>

namespace Nerra {

// An IPv4 address kept both as a number and as a name. Whichever the caller gives, the
// other is looked up at construction, on the calling thread.
class CInternetAddress {
public:
    // From a number in host byte order; the name is found by reverse look-up, and stays the
    // dotted text (with a WARNING) when there is none.
    explicit CInternetAddress(uint32_t hostOrderAddress);
    // From a dotted quad, taken as is, or a host name, resolved to one of its addresses
    // picked at random so that connections spread over all of them.
    explicit CInternetAddress(const std::string& name);

    uint32_t GetNetworkOrder() const { return m_Address; }
    uint32_t GetHostOrder() const;
    const std::string& GetName() const { return m_Name; }
    std::string GetDottedText() const;
    bool IsAny() const { return m_Address == 0; }

    static std::string DottedText(uint32_t hostOrderAddress);

private:
    void ResolveName();
    void ResolveIP();

    uint32_t m_Address;  // network byte order; 0 is the any-address, all bits set "none"
    std::string m_Name;
};

}  // namespace Nerra
