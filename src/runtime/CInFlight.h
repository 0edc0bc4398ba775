#pragma once

#include <atomic>
#include <cstddef>
#include <limits>

#include "runtime/CEvent.h"
#include "runtime/CThread.h"

namespace Nerra {

// Counts the jobs one producer has handed to the workers and not yet seen finished, so the
// producer can stop at a high mark and resume once the workers have brought the count down
// to a low mark. The worker that finishes the job that reaches the low mark wakes it.
class CInFlight {
public:
    void Add() { m_Count.fetch_add(1); }
    void Remove()
    {
        // Both sides use sequentially consistent order: either the waiter sees the new count,
        // or this side sees the waiter's mark and wakes it.
        const size_t left = m_Count.fetch_sub(1) - 1;
        const size_t wakeAt = m_WakeAt.load();
        if (wakeAt != NOBODY && left <= wakeAt)
            m_Drained.Set();
    }
    size_t Count() const { return m_Count.load(); }

    // Waits on the calling thread until at most `low` jobs remain; false when `thread` is
    // asked to stop first.
    bool WaitUntilAtMost(size_t low, CThread& thread)
    {
        m_WakeAt.store(low);
        bool drained = true;
        while (m_Count.load() > low) {
            if (!thread.WaitUnlessStopped(m_Drained)) {
                drained = false;
                break;
            }
        }
        m_WakeAt.store(NOBODY);
        return drained;
    }

private:
    static constexpr size_t NOBODY = std::numeric_limits<size_t>::max();

    std::atomic<size_t> m_Count{0};
    std::atomic<size_t> m_WakeAt{NOBODY};
    CEvent m_Drained{false};
};

}  // namespace Nerra
