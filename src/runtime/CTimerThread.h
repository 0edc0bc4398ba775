#pragma once

#include <atomic>
#include <cstdint>
#include <ctime>
#include <list>
#include <memory>
#include <string>

#include "runtime/CLock.h"
#include "runtime/CThread.h"

namespace Nerra {

class CTimerThread;

// A timer job: a plain function that takes its argument (a user name, or empty for the
// global jobs).
using TimerFunction = void (*)(const std::string& argument);

// One scheduled call of a function with a text argument, due `interval` seconds after its
// creation, one-shot or periodic. A record never changes; rescheduling makes a new one.
class CTimerCallback {
public:
    CTimerCallback(int32_t interval, TimerFunction function, const std::string& argument, bool repeat);

    // Wall-clock seconds, as time() gives them.
    time_t GetDueTime() const { return m_DueTime; }
    bool IsDue(time_t now) const { return now >= m_DueTime; }

    void Run() const { m_Function(m_Argument); }

    // A periodic record pushes its successor, due one interval from now, into the timer
    // that ran it; a one-shot does nothing.
    void Reschedule(CTimerThread& timer) const;

private:
    const int32_t m_Interval;
    const time_t m_DueTime;
    const bool m_Repeat;
    const TimerFunction m_Function;
    const std::string m_Argument;
};

// The one scheduler: once a second it runs, on its own thread, every record that has come
// due. Callbacks run one after another without the schedule lock, so they may push more;
// anything long belongs in a worker pool.
class CTimerThread : public CThread {
public:
    static CTimerThread& Instance();

    CTimerThread() = default;
    // Stops and awaits a started thread before the schedule goes away.
    ~CTimerThread() override;

    // Hides CThread::Start to note that the thread runs and must be awaited on destruction.
    void Start();

    // Callable from any thread, the timer's own callbacks included. Records with equal due
    // times keep the order in which they were pushed.
    void PushCallback(const std::shared_ptr<CTimerCallback>& callback);

protected:
    void Execute() override;

private:
    using CSchedule = std::list<std::shared_ptr<CTimerCallback>>;

    void Scan();
    CSchedule TakeDueCallbacks(time_t now);
    void RunCallback(const CTimerCallback& callback);

    const uint32_t m_ScanPeriodMs = 1000;
    CLocked<CSchedule> m_Schedule;
    std::atomic<bool> m_Started{false};
};

}  // namespace Nerra
