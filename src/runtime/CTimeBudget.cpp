#include "runtime/CTimeBudget.h"

#include "core/CLog.h"
#include "core/Trace.h"

namespace Nerra {

CTimeBudget::CTimeBudget(uint32_t budgetMs, uint32_t repeatMs, CExpiry expired)
    : m_Budget(std::chrono::milliseconds(budgetMs)),
      m_Repeat(std::chrono::milliseconds(repeatMs)),
      m_Expired(std::move(expired))
{
    Start();
}

CTimeBudget::~CTimeBudget()
{
    Terminate();
    m_Wake.Set();
    WaitFor(INFINITE_TIMEOUT);
}

uint64_t CTimeBudget::Begin()
{
    uint64_t run = 0;
    bool wake = false;
    {
        CLockGuard guard(m_Lock);
        run = ++m_Run;
        m_Running = true;
        m_Deadline = Clock::now() + m_Budget;
        // A watcher already waiting for a deadline finds the new one when it wakes.
        wake = m_Idle;
        m_Idle = false;
    }
    if (wake)
        m_Wake.Set();
    return run;
}

void CTimeBudget::End()
{
    CLockGuard guard(m_Lock);
    m_Running = false;
}

void CTimeBudget::Execute()
{
    while (!IsTerminating()) {
        uint32_t wait = INFINITE_TIMEOUT;
        const uint64_t expired = TakeExpiredRun(wait);
        if (expired == 0) {
            m_Wake.Wait(wait);
            continue;
        }
        try {
            m_Expired(expired);
        } catch (...) {
            LogFailure("CTimeBudget::Execute()");
        }
    }
}

uint64_t CTimeBudget::TakeExpiredRun(uint32_t& wait)
{
    CLockGuard guard(m_Lock);
    m_Idle = !m_Running;
    if (!m_Running)
        return 0;
    const Clock::time_point now = Clock::now();
    if (now < m_Deadline) {
        // Rounded up, so the watcher never wakes just before the deadline and spins.
        wait = static_cast<uint32_t>(std::chrono::ceil<std::chrono::milliseconds>(m_Deadline - now).count());
        return 0;
    }
    m_Deadline = now + m_Repeat;
    return m_Run;
}

}  // namespace Nerra
