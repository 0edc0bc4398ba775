#include "runtime/CEvent.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace Nerra {

// Backed by an eventfd so that waits can be combined with socket readiness in poll().
class CEvent::CEventImpl {
public:
    explicit CEventImpl(bool manualReset)
        : m_ManualReset(manualReset), m_Fd(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC))
    {
        if (m_Fd < 0)
            std::abort();
    }
    ~CEventImpl() { close(m_Fd); }

    void Set()
    {
        // Published before the descriptor turns readable, so a waiter that sees the signal
        // also sees everything the setter did before Set.
        m_Sets.fetch_add(1, std::memory_order_release);
        if (m_ManualReset && IsSet())
            return;
        uint64_t one = 1;
        while (write(m_Fd, &one, sizeof one) < 0 && errno == EINTR) {}
    }

    bool Wait(uint32_t timeout)
    {
        using Clock = std::chrono::steady_clock;
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeout);
        for (;;) {
            int waitMs = -1;
            if (timeout != INFINITE_TIMEOUT) {
                auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
                waitMs = left > 0 ? static_cast<int>(left) : 0;
            }
            pollfd pfd{m_Fd, POLLIN, 0};
            int ready = poll(&pfd, 1, waitMs);
            if (ready < 0 && errno != EINTR)
                std::abort();
            if (ready > 0) {
                uint64_t count;
                // Another waiter may have consumed the signal between poll and read.
                if (m_ManualReset || read(m_Fd, &count, sizeof count) == sizeof count) {
                    m_Sets.load(std::memory_order_acquire);
                    return true;
                }
            }
            if (timeout != INFINITE_TIMEOUT && Clock::now() >= deadline)
                return false;
        }
    }

    bool IsSet() const
    {
        pollfd pfd{m_Fd, POLLIN, 0};
        return poll(&pfd, 1, 0) > 0;
    }

    int Fd() const { return m_Fd; }

private:
    bool m_ManualReset;
    int m_Fd;
    std::atomic<uint64_t> m_Sets{0};
};

CEvent::CEvent(bool manualReset) : m_Impl(std::make_shared<CEventImpl>(manualReset)) {}

void CEvent::Set() { m_Impl->Set(); }

bool CEvent::Wait(uint32_t timeout) { return m_Impl->Wait(timeout); }

int CEvent::GetPollHandle() const { return m_Impl->Fd(); }

}  // namespace Nerra
