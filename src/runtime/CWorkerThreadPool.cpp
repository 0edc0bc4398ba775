#include "runtime/CWorkerThreadPool.h"

#include <climits>
#include <poll.h>

#include "core/CXMLDocument.h"

namespace Nerra {

namespace {

// An empty parallel thread has nothing to look at again: it waits for a push or a stop.
constexpr uint32_t NO_TIMEOUT = INFINITE_TIMEOUT;
// After an internal failure the thread drops its units and pauses this long.
constexpr uint32_t FAILURE_PAUSE_MS = 1000;

// The wake event and the stop request, always the first two entries of a thread's wait.
std::vector<pollfd> WakeAndStop(const CEvent& wake, int stopHandle)
{
    return {{wake.GetPollHandle(), POLLIN, 0}, {stopHandle, POLLIN, 0}};
}

// Waits until any descriptor is ready or the time-out passes. The wake event's handle stays
// readable while the event is set, so a wake-up must consume it or the next wait would
// return at once.
void WaitForAny(std::vector<pollfd>& waits, CEvent& wake, uint32_t timeoutMs)
{
    const int ms = timeoutMs == NO_TIMEOUT ? -1 : timeoutMs > INT_MAX ? INT_MAX : static_cast<int>(timeoutMs);
    if (poll(waits.data(), waits.size(), ms) > 0 && (waits[0].revents & POLLIN))
        wake.Wait(0);
}

enum class ETurnEnd { Finished, Idle, SliceUsed };

// One unit's turn in a parallel pass: steps until it is finished, idle or has used its
// slice. An idle unit's poll request joins the thread's wait. A unit that throws is
// finished: a broken connection must not stall the others.
ETurnEnd RunTurn(CParallelWorkUnit& unit, uint64_t slice, std::vector<pollfd>& waits)
{
    try {
        const uint64_t start = GetElapsedMicroseconds();
        for (;;) {
            bool idle = false;
            if (!unit.Process(idle))
                return ETurnEnd::Finished;
            if (idle)
                break;
            if (GetElapsedMicroseconds() - start >= slice)
                return ETurnEnd::SliceUsed;
        }
        int descriptor = -1;
        short events = 0;
        if (unit.GetPollRequest(descriptor, events))
            waits.push_back({descriptor, events, 0});
        return ETurnEnd::Idle;
    } catch (...) {
        CLog::Instance().Error("CWorkerThread<CParallelWorkUnit>::Execute(): exception caught when processing '%s', "
                               "removing object from the list: %s",
                               unit.GetName().c_str(), CurrentFailureText().c_str());
        return ETurnEnd::Finished;
    }
}

void ProcessToCompletion(CSequentialWorkUnit& unit)
{
    try {
        unit.Process();
    } catch (...) {
        LogFailure("CWorkerThread<CSequentialWorkUnit>::Execute(): exception caught when processing '%s', ignoring "
                   "and proceeding to remove",
                   unit.GetName().c_str());
    }
}

// Call only from a catch handler.
void LogInternalFailure(const char* kind)
{
    LogFailure("CWorkerThread<%s>::Execute(): internal exception caught, clearing all objects and sleeping for %u "
               "second(s)",
               kind, FAILURE_PAUSE_MS / 1000);
}

void PauseUnlessStopped(int stopHandle)
{
    pollfd stop{stopHandle, POLLIN, 0};
    poll(&stop, 1, FAILURE_PAUSE_MS);
}

}  // namespace

uint32_t StickyThreadIndex(const std::string& name, uint32_t threadCount)
{
    uint32_t hash = 0;
    for (char byte : name)
        hash = (hash + static_cast<uint32_t>(static_cast<int32_t>(static_cast<signed char>(byte)))) % threadCount;
    return hash;
}

template <>
void CWorkerThread<CParallelWorkUnit>::Execute()
{
    NERRA_TRACE_BEGIN
    XMLInstallErrorSink();
    const uint64_t workBudget = static_cast<uint64_t>(m_Timing.workMs) * 1000;
    const uint32_t sleepMs = m_Timing.sleepMs;
    while (!IsTerminating()) {
        try {
            auto [count, position] = Front();
            std::vector<pollfd> waits = WakeAndStop(m_WakeEvent, GetStopPollHandle());
            if (count == 0) {
                WaitForAny(waits, m_WakeEvent, NO_TIMEOUT);
                continue;
            }
            const uint64_t slice = workBudget / count;
            bool busy = false;
            for (size_t visited = 0; visited < count; ++visited) {
                std::shared_ptr<CParallelWorkUnit> unit = UnitAt(position);
                if (!unit)
                    break;
                const ETurnEnd end = RunTurn(*unit, slice, waits);
                position = end == ETurnEnd::Finished ? Remove(position) : Next(position);
                busy = busy || end == ETurnEnd::SliceUsed;
            }
            // A unit that still had work is served again at once; otherwise the thread
            // sleeps until a unit's descriptor is ready, a push or stop arrives, or the
            // sleep period ends.
            if (!busy)
                WaitForAny(waits, m_WakeEvent, sleepMs);
        } catch (...) {
            LogInternalFailure("CParallelWorkUnit");
            DropAll();
            PauseUnlessStopped(GetStopPollHandle());
        }
    }
    NERRA_TRACE_END_CONTINUE("CWorkerThread<CParallelWorkUnit>::Execute()")
}

template <>
void CWorkerThread<CSequentialWorkUnit>::Execute()
{
    NERRA_TRACE_BEGIN
    XMLInstallErrorSink();
    while (!IsTerminating()) {
        try {
            // Woken by a push, or by Stop: no descriptor to watch, so no poll.
            m_WakeEvent.Wait(INFINITE_TIMEOUT);
            CPosition position = Front().second;
            while (!IsTerminating()) {
                std::shared_ptr<CSequentialWorkUnit> unit = UnitAt(position);
                if (!unit)
                    break;
                ProcessToCompletion(*unit);
                position = Remove(position);
            }
        } catch (...) {
            LogInternalFailure("CSequentialWorkUnit");
            DropAll();
            PauseUnlessStopped(GetStopPollHandle());
        }
    }
    NERRA_TRACE_END_CONTINUE("CWorkerThread<CSequentialWorkUnit>::Execute()")
}

namespace {
std::unique_ptr<CWorkerThreadPool<CParallelWorkUnit>> g_ParallelPool;
std::unique_ptr<CWorkerThreadPool<CSequentialWorkUnit>> g_SequentialPool;

template <class T>
CWorkerThreadPool<T>& Existing(const std::unique_ptr<CWorkerThreadPool<T>>& pool)
{
    if (!pool)
        throw CMessageException("The worker pools have not been made yet");
    return *pool;
}
}  // namespace

void CreateServicePools(uint32_t threadsPerPool, CParallelTiming timing)
{
    g_ParallelPool = std::make_unique<CWorkerThreadPool<CParallelWorkUnit>>(threadsPerPool, timing);
    g_SequentialPool = std::make_unique<CWorkerThreadPool<CSequentialWorkUnit>>(threadsPerPool);
}

CWorkerThreadPool<CParallelWorkUnit>& ParallelPool() { return Existing(g_ParallelPool); }

CWorkerThreadPool<CSequentialWorkUnit>& SequentialPool() { return Existing(g_SequentialPool); }

}  // namespace Nerra
