#pragma once

#include <cstdint>
#include <memory>

#include "runtime/CLock.h"

namespace Nerra {

// A signal threads wait on. An auto-reset event is consumed by the one wait it satisfies
// (a Set with no waiter stays pending); a manual-reset event stays set once set.
class CEvent {
public:
    explicit CEvent(bool manualReset);

    void Set();
    bool Wait(uint32_t timeout);

    // A descriptor that polls readable while the event is set, so a thread can wait for
    // the event together with sockets. Waiting on it does not consume the signal.
    int GetPollHandle() const;

private:
    class CEventImpl;
    std::shared_ptr<CEventImpl> m_Impl;
};

}  // namespace Nerra
