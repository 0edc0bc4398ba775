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

    // Waits until either event is set and consumes that one's signal: 0 for the first, 1 for
    // the second (the first wins when both are), -1 when the time-out passes first.
    static int WaitEither(CEvent& first, CEvent& second, uint32_t timeout);

private:
    class CEventImpl;
    std::shared_ptr<CEventImpl> m_Impl;
};

}  // namespace Nerra
