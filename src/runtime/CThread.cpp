#include "runtime/CThread.h"

#include <cerrno>
#include <condition_variable>
#include <ctime>
#include <mutex>
#include <pthread.h>

#include "core/TextUtils.h"
#include "core/Trace.h"
#include "runtime/CEvent.h"
#include "runtime/CLock.h"

namespace Nerra {

class CThread::CThreadImpl {
public:
    CThreadImpl() : m_StopEvent(true), m_Finished(true)
    {
        NERRA_TRACE_BEGIN
        pthread_attr_t attributes;
        pthread_attr_init(&attributes);
        pthread_attr_setstacksize(&attributes, 1024 * 1024);
        int error = pthread_create(&m_Handle, &attributes, &CThreadImpl::Trampoline, this);
        pthread_attr_destroy(&attributes);
        if (error != 0)
            throw CMessageException("CreateThread() failed with GetLastError=%u", static_cast<unsigned>(error));
        NERRA_TRACE_END_CRITICAL("CThread::CThreadImpl::CThreadImpl()")
    }

    ~CThreadImpl()
    {
        // A thread never started is released without running; a running one is asked to
        // stop and awaited, since a POSIX thread cannot be ended safely from outside.
        {
            std::lock_guard<std::mutex> guard(m_GateMutex);
            if (!m_Owner)
                m_Abandoned = true;
        }
        m_Gate.notify_all();
        m_StopEvent.Set();
        pthread_join(m_Handle, nullptr);
    }

    void Start(CThread* owner)
    {
        {
            std::lock_guard<std::mutex> guard(m_GateMutex);
            m_Owner = owner;
        }
        m_Gate.notify_all();
    }

    void Terminate() { m_StopEvent.Set(); }

    bool IsTerminating() const { return m_StopEvent.Wait(0); }

    bool WaitFor(uint32_t timeout)
    {
        NERRA_TRACE_BEGIN
        bool ended = m_Finished.Wait(timeout);
        if (!ended && timeout == INFINITE_TIMEOUT)
            throw CMessageException("WaitForSingleObject(INFINITE) failed to wait for a thread to terminate");
        return ended;
        NERRA_TRACE_END_CRITICAL("CThread::CThreadImpl::WaitFor(%d)", static_cast<int>(timeout))
        return false;
    }

    bool WaitUnlessStopped(CEvent& event) { return CEvent::WaitEither(event, m_StopEvent, INFINITE_TIMEOUT) == 0; }

    int StopPollHandle() const { return m_StopEvent.GetPollHandle(); }

private:
    static void* Trampoline(void* parameter)
    {
        auto* self = static_cast<CThreadImpl*>(parameter);
        CThread* owner = nullptr;
        {
            std::unique_lock<std::mutex> guard(self->m_GateMutex);
            self->m_Gate.wait(guard, [self] { return self->m_Owner || self->m_Abandoned; });
            owner = self->m_Owner;
        }
        if (owner) {
            SeedThreadRandom(static_cast<unsigned>(time(nullptr)) ^ CurrentThreadId());
            NERRA_TRACE_BEGIN
            owner->Execute();
            NERRA_TRACE_END_CRITICAL("Win32ThreadTrampoline(" NERRA_PTR ")", NERRA_PTR_ARG(self))
        }
        self->m_Finished.Set();
        return nullptr;
    }

    pthread_t m_Handle{};
    mutable CEvent m_StopEvent;
    CEvent m_Finished;
    std::mutex m_GateMutex;
    std::condition_variable m_Gate;
    CThread* m_Owner = nullptr;
    bool m_Abandoned = false;
};

CThread::CThread() : m_Impl(std::make_shared<CThreadImpl>()) {}

CThread::~CThread() = default;

void CThread::Start() { m_Impl->Start(this); }

void CThread::Terminate() { m_Impl->Terminate(); }

bool CThread::IsTerminating() const { return m_Impl->IsTerminating(); }

bool CThread::WaitFor(uint32_t timeout) { return m_Impl->WaitFor(timeout); }

bool CThread::WaitUnlessStopped(CEvent& event) { return m_Impl->WaitUnlessStopped(event); }

int CThread::GetStopPollHandle() const { return m_Impl->StopPollHandle(); }

}  // namespace Nerra
