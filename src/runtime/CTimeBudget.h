#pragma once

#include <chrono>
#include <cstdint>
#include <functional>

#include "runtime/CEvent.h"
#include "runtime/CLock.h"
#include "runtime/CThread.h"

namespace Nerra {

// Watches runs of work, one at a time, on a thread of its own: a run that outlasts its budget
// is reported to `expired`, and again every `repeat` milliseconds until it ends. The thread
// that does the work calls Begin and End; `expired` runs on the watching thread, with the
// number Begin returned, and must see for itself whether that run is still going, since it
// may end at any moment.
class CTimeBudget : public CThread {
public:
    using CExpiry = std::function<void(uint64_t run)>;

    CTimeBudget(uint32_t budgetMs, uint32_t repeatMs, CExpiry expired);
    // Stops the watching thread and waits for it.
    ~CTimeBudget() override;

    uint64_t Begin();
    void End();

protected:
    void Execute() override;

private:
    using Clock = std::chrono::steady_clock;

    // The run that is due a report, or 0; otherwise `wait` is how long to sleep.
    uint64_t TakeExpiredRun(uint32_t& wait);

    const Clock::duration m_Budget;
    const Clock::duration m_Repeat;
    const CExpiry m_Expired;
    CEvent m_Wake{false};
    CLock m_Lock;  // guards the fields below
    uint64_t m_Run = 0;
    bool m_Running = false;
    Clock::time_point m_Deadline;
    bool m_Idle = false;  // the watcher sleeps until a run begins
};

}  // namespace Nerra
