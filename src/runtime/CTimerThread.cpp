#include "runtime/CTimerThread.h"

#include <iterator>
#include <poll.h>

#include "core/CXMLDocument.h"
#include "core/Trace.h"

namespace Nerra {

CTimerCallback::CTimerCallback(int32_t interval, TimerFunction function, const std::string& argument, bool repeat)
    : m_Interval(interval), m_DueTime(time(nullptr) + interval), m_Repeat(repeat), m_Function(function),
      m_Argument(argument)
{
    NERRA_TRACE_BEGIN
    if (!m_Function)
        throw CMessageException("A timer callback needs a function");
    NERRA_TRACE_END("CTimerCallback::CTimerCallback(%d, '%s')", interval, argument.c_str())
}

void CTimerCallback::Reschedule(CTimerThread& timer) const
{
    if (m_Repeat)
        timer.PushCallback(std::make_shared<CTimerCallback>(m_Interval, m_Function, m_Argument, true));
}

CTimerThread& CTimerThread::Instance()
{
    static CTimerThread timer;
    return timer;
}

CTimerThread::~CTimerThread()
{
    Terminate();
    if (m_Started)
        WaitFor(INFINITE_TIMEOUT);
}

void CTimerThread::Start()
{
    m_Started = true;
    CThread::Start();
}

void CTimerThread::PushCallback(const std::shared_ptr<CTimerCallback>& callback)
{
    NERRA_TRACE_BEGIN
    if (!callback)
        throw CMessageException("An empty timer callback cannot be scheduled");
    CLockGuard guard(m_Schedule);
    CSchedule& schedule = *m_Schedule;
    // Walking from the back finds the place at once for the usual push: due after the rest.
    auto position = schedule.end();
    while (position != schedule.begin() && (*std::prev(position))->GetDueTime() > callback->GetDueTime())
        --position;
    schedule.insert(position, callback);
    NERRA_TRACE_END("CTimerThread::PushCallback(" NERRA_PTR ")", NERRA_PTR_ARG(callback.get()))
}

void CTimerThread::Execute()
{
    NERRA_TRACE_BEGIN
    XMLInstallErrorSink();
    while (!IsTerminating()) {
        try {
            Scan();
        } catch (...) {
            // The next scan begins at once; records taken out and not yet run are lost.
            LogFailure("CTimerThread::Execute(): ignoring internal exception");
        }
    }
    NERRA_TRACE_END_CONTINUE("CTimerThread::Execute()")
}

void CTimerThread::Scan()
{
    const CSchedule due = TakeDueCallbacks(time(nullptr));
    for (const std::shared_ptr<CTimerCallback>& callback : due)
        RunCallback(*callback);
    // Waiting on the stop request instead of sleeping lets shutdown end the scan period.
    pollfd stop{GetStopPollHandle(), POLLIN, 0};
    poll(&stop, 1, static_cast<int>(m_ScanPeriodMs));
}

CTimerThread::CSchedule CTimerThread::TakeDueCallbacks(time_t now)
{
    CSchedule due;
    CLockGuard guard(m_Schedule);
    CSchedule& schedule = *m_Schedule;
    auto firstPending = schedule.begin();
    while (firstPending != schedule.end() && (*firstPending)->IsDue(now))
        ++firstPending;
    due.splice(due.end(), schedule, schedule.begin(), firstPending);
    return due;
}

void CTimerThread::RunCallback(const CTimerCallback& callback)
{
    try {
        callback.Run();
    } catch (...) {
        LogFailure("Timer thread caught a callback exception, ignoring and proceeding to the next callback");
        // A failing periodic job keeps its schedule; it may well succeed next time.
        callback.Reschedule(*this);
        return;
    }
    callback.Reschedule(*this);
}

}  // namespace Nerra
