#pragma once

#include <atomic>
#include <cstdint>
#include <list>
#include <memory>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "core/TextUtils.h"
#include "core/Trace.h"
#include "runtime/CEvent.h"
#include "runtime/CLock.h"
#include "runtime/CThread.h"
#include "runtime/CWorkUnit.h"

namespace Nerra {

// How a parallel thread shares its time: each pass over its units takes at most `workMs`,
// and a thread whose units are all idle waits at most `sleepMs` for their descriptors before
// it looks at them again (a unit that names no descriptor is looked at only then).
struct CParallelTiming {
    uint32_t workMs = 50;
    uint32_t sleepMs = 10;
};

// One thread of a worker pool with its own queue of units of kind T (CParallelWorkUnit or
// CSequentialWorkUnit). A unit stays queued while it is processed, so a job cannot be
// queued twice on one thread. The owner must Terminate and WaitFor a started thread before
// destroying it.
template <class T>
class CWorkerThread : public CThread {
public:
    explicit CWorkerThread(CParallelTiming timing) : m_Timing(timing), m_WakeEvent(false) {}

    // Queues the unit unless a unit of the same name is already queued or being processed.
    void PushWorkUnit(const std::shared_ptr<T>& unit);

    // Asks the thread to stop and wakes it, wherever it waits.
    void Stop()
    {
        Terminate();
        m_WakeEvent.Set();
    }

protected:
    void Execute() override;

private:
    // The units in order, and their names, so a duplicate is told at once in a long queue.
    struct CQueue {
        std::list<std::shared_ptr<T>> units;
        std::unordered_set<std::string> names;
    };
    using CPosition = typename std::list<std::shared_ptr<T>>::iterator;

    // Queue steps, each under the queue lock, which is never held while a unit runs.
    // Positions stay valid in between: only this thread removes units, producers append.
    std::pair<size_t, CPosition> Front();
    std::shared_ptr<T> UnitAt(CPosition position);
    CPosition Remove(CPosition position);
    CPosition Next(CPosition position);
    void DropAll();

    const CParallelTiming m_Timing;
    CEvent m_WakeEvent;
    CLocked<CQueue> m_Queue;
};

template <>
void CWorkerThread<CParallelWorkUnit>::Execute();
template <>
void CWorkerThread<CSequentialWorkUnit>::Execute();

// The thread a sticky unit goes to: its name's bytes, counted signed, summed modulo the
// thread count, so equal names always meet on one thread.
uint32_t StickyThreadIndex(const std::string& name, uint32_t threadCount);

// A fixed set of worker threads for units of kind T, created suspended.
template <class T>
class CWorkerThreadPool {
public:
    // The timing applies to parallel units only.
    explicit CWorkerThreadPool(uint32_t threadCount, CParallelTiming timing = CParallelTiming());
    ~CWorkerThreadPool();
    CWorkerThreadPool(const CWorkerThreadPool&) = delete;
    CWorkerThreadPool& operator=(const CWorkerThreadPool&) = delete;

    void Start();
    // Stops the threads one after another; queued units are never processed.
    void Stop();

    // Sticky units go to the thread their name hashes to, others to a random thread.
    void PushWorkUnit(const std::shared_ptr<T>& unit, bool sticky);

private:
    const uint32_t m_ThreadCount;
    // Filled at construction and only read afterwards, so it needs no lock.
    std::vector<std::shared_ptr<CWorkerThread<T>>> m_Threads;
    // A thread never started cannot be waited for: its body would never run.
    std::atomic<bool> m_Started{false};
};

// The process-wide pools: network connections, and message processing. The service makes
// them once, with its settings, before it pushes any unit; until then there are none.
void CreateServicePools(uint32_t threadsPerPool, CParallelTiming timing);
CWorkerThreadPool<CParallelWorkUnit>& ParallelPool();
CWorkerThreadPool<CSequentialWorkUnit>& SequentialPool();

template <class T>
void CWorkerThread<T>::PushWorkUnit(const std::shared_ptr<T>& unit)
{
    NERRA_TRACE_BEGIN
    {
        CLockGuard guard(m_Queue);
        if (!m_Queue->names.insert(unit->GetName()).second) {
            CLog::Instance().Warning(
                "CWorkerThread::PushWorkUnit('%s'): ignoring duplicate entry, identical object is already being processed",
                unit->GetName().c_str());
            return;
        }
        m_Queue->units.push_back(unit);
    }
    m_WakeEvent.Set();
    NERRA_TRACE_END("CWorkerThread::PushWorkUnit(" NERRA_PTR ")", NERRA_PTR_ARG(unit.get()))
}

template <class T>
std::pair<size_t, typename CWorkerThread<T>::CPosition> CWorkerThread<T>::Front()
{
    CLockGuard guard(m_Queue);
    return {m_Queue->units.size(), m_Queue->units.begin()};
}

template <class T>
std::shared_ptr<T> CWorkerThread<T>::UnitAt(CPosition position)
{
    CLockGuard guard(m_Queue);
    return position == m_Queue->units.end() ? nullptr : *position;
}

template <class T>
typename CWorkerThread<T>::CPosition CWorkerThread<T>::Remove(CPosition position)
{
    std::shared_ptr<T> removed = *position;
    CLockGuard guard(m_Queue);
    m_Queue->names.erase(removed->GetName());
    return m_Queue->units.erase(position);
}

template <class T>
typename CWorkerThread<T>::CPosition CWorkerThread<T>::Next(CPosition position)
{
    CLockGuard guard(m_Queue);
    return std::next(position);
}

template <class T>
void CWorkerThread<T>::DropAll()
{
    CQueue dropped;
    {
        CLockGuard guard(m_Queue);
        dropped.units.swap(m_Queue->units);
        dropped.names.swap(m_Queue->names);
    }
    // The units are released here, outside the lock: their destructors may take a while.
}

template <class T>
CWorkerThreadPool<T>::CWorkerThreadPool(uint32_t threadCount, CParallelTiming timing) : m_ThreadCount(threadCount)
{
    NERRA_TRACE_BEGIN
    if (threadCount == 0)
        throw CMessageException("A worker pool needs at least one thread");
    m_Threads.reserve(threadCount);
    for (uint32_t i = 0; i < threadCount; ++i)
        m_Threads.push_back(std::make_shared<CWorkerThread<T>>(timing));
    NERRA_TRACE_END("CWorkerThreadPool::CWorkerThreadPool()")
}

template <class T>
CWorkerThreadPool<T>::~CWorkerThreadPool()
{
    for (const auto& thread : m_Threads)
        thread->Stop();
    if (m_Started) {
        for (const auto& thread : m_Threads)
            thread->WaitFor(INFINITE_TIMEOUT);
    }
}

template <class T>
void CWorkerThreadPool<T>::Start()
{
    m_Started = true;
    for (const auto& thread : m_Threads)
        thread->Start();
}

template <class T>
void CWorkerThreadPool<T>::Stop()
{
    NERRA_TRACE_BEGIN
    for (const auto& thread : m_Threads) {
        thread->Stop();
        if (m_Started)
            thread->WaitFor(INFINITE_TIMEOUT);
    }
    NERRA_TRACE_END_CONTINUE("CWorkerThreadPool::Stop()")
}

template <class T>
void CWorkerThreadPool<T>::PushWorkUnit(const std::shared_ptr<T>& unit, bool sticky)
{
    NERRA_TRACE_BEGIN
    if (!unit)
        throw CMessageException("An empty work unit cannot be queued");
    const uint32_t index = sticky ? StickyThreadIndex(unit->GetName(), m_ThreadCount) : Random32(m_ThreadCount);
    m_Threads[index]->PushWorkUnit(unit);
    NERRA_TRACE_END("CWorkerThreadPool::PushWorkUnit(" NERRA_PTR ", %s)", NERRA_PTR_ARG(unit.get()),
                    sticky ? "STICKY" : "ANY THREAD")
}

}  // namespace Nerra
