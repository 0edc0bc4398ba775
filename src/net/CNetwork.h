#pragma once

namespace Nerra {

// The process-wide holder of the network stack. It is reached before the first socket,
// address or port is made, so process-wide network settings are in place by then.
class CNetwork {
public:
    static CNetwork& Instance();

    CNetwork(const CNetwork&) = delete;
    CNetwork& operator=(const CNetwork&) = delete;

private:
    CNetwork();
};

}  // namespace Nerra
