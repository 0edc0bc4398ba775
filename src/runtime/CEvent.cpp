#include "runtime/CEvent.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace Nerra {

// A flag under a mutex with a condition variable, so that a look at the flag needs no
// system call. An eventfd mirrors the flag for threads that wait together with sockets; it
// is made with the event, not on first use: a process short of descriptors must still be
// able to wait on what it already has.
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
        {
            std::lock_guard<std::mutex> guard(m_Mutex);
            if (m_Signaled.load(std::memory_order_relaxed))
                return;
            m_Signaled.store(true, std::memory_order_release);
            Signal(m_Fd);
        }
        if (m_ManualReset)
            m_Changed.notify_all();
        else
            m_Changed.notify_one();
    }

    bool Wait(uint32_t timeout)
    {
        // The common look of a stop request or an idle wake-up takes no lock.
        if (timeout == 0 && !m_Signaled.load(std::memory_order_acquire))
            return false;
        if (m_ManualReset && m_Signaled.load(std::memory_order_acquire))
            return true;
        std::unique_lock<std::mutex> guard(m_Mutex);
        auto isSet = [this] { return m_Signaled.load(std::memory_order_relaxed); };
        if (timeout == INFINITE_TIMEOUT)
            m_Changed.wait(guard, isSet);
        else if (!m_Changed.wait_for(guard, std::chrono::milliseconds(timeout), isSet))
            return false;
        if (!m_ManualReset) {
            m_Signaled.store(false, std::memory_order_relaxed);
            Drain(m_Fd);
        }
        return true;
    }

    int PollHandle() const { return m_Fd; }

private:
    static void Signal(int fd)
    {
        uint64_t one = 1;
        while (write(fd, &one, sizeof one) < 0 && errno == EINTR) {}
    }

    static void Drain(int fd)
    {
        uint64_t count;
        while (read(fd, &count, sizeof count) < 0 && errno == EINTR) {}
    }

    const bool m_ManualReset;
    std::mutex m_Mutex;
    std::condition_variable m_Changed;
    // Written only under the mutex; read without it for the quick looks.
    std::atomic<bool> m_Signaled{false};
    const int m_Fd;
};

CEvent::CEvent(bool manualReset) : m_Impl(std::make_shared<CEventImpl>(manualReset)) {}

void CEvent::Set() { m_Impl->Set(); }

bool CEvent::Wait(uint32_t timeout) { return m_Impl->Wait(timeout); }

int CEvent::GetPollHandle() const { return m_Impl->PollHandle(); }

int CEvent::WaitEither(CEvent& first, CEvent& second, uint32_t timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout);
    pollfd waits[2] = {{first.GetPollHandle(), POLLIN, 0}, {second.GetPollHandle(), POLLIN, 0}};
    for (;;) {
        // A signal consumed by another waiter between poll and Wait sends this one back.
        if (first.Wait(0))
            return 0;
        if (second.Wait(0))
            return 1;
        int waitMs = -1;
        if (timeout != INFINITE_TIMEOUT) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  deadline - std::chrono::steady_clock::now())
                                  .count();
            if (left <= 0)
                return -1;
            waitMs = static_cast<int>(left);
        }
        if (poll(waits, 2, waitMs) < 0 && errno != EINTR)
            std::abort();
    }
}

}  // namespace Nerra
