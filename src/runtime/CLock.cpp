#include "runtime/CLock.h"

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>

namespace Nerra {

struct CLock::CLockImpl {
    std::mutex mutex;
    std::condition_variable released;
    uint32_t owner = 0;  // kernel thread ids are never 0
    uint32_t depth = 0;
};

CLock::CLock() : m_Impl(std::make_unique<CLockImpl>()) {}

CLock::~CLock() = default;

bool CLock::Acquire(uint32_t timeout)
{
    const uint32_t self = CurrentThreadId();
    std::unique_lock<std::mutex> guard(m_Impl->mutex);
    if (m_Impl->owner == self) {
        ++m_Impl->depth;
        return true;
    }
    auto isFree = [this] { return m_Impl->depth == 0; };
    if (timeout == INFINITE_TIMEOUT) {
        m_Impl->released.wait(guard, isFree);
    } else if (!m_Impl->released.wait_for(guard, std::chrono::milliseconds(timeout), isFree)) {
        return false;
    }
    m_Impl->owner = self;
    m_Impl->depth = 1;
    return true;
}

void CLock::Release()
{
    std::unique_lock<std::mutex> guard(m_Impl->mutex);
    if (m_Impl->depth == 0 || m_Impl->owner != CurrentThreadId())
        std::abort();
    if (--m_Impl->depth == 0) {
        m_Impl->owner = 0;
        guard.unlock();
        m_Impl->released.notify_one();
    }
}

bool CLock::IsHeldByCurrentThread() const
{
    std::lock_guard<std::mutex> guard(m_Impl->mutex);
    return m_Impl->depth > 0 && m_Impl->owner == CurrentThreadId();
}

}  // namespace Nerra
