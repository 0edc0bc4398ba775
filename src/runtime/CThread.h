#pragma once

#include <cstdint>
#include <memory>

namespace Nerra {

class CEvent;

// A thread that runs one Execute. It is created suspended and runs only after Start;
// its owner asks it to stop with Terminate and waits for it with WaitFor before it
// destroys the object.
class CThread {
public:
    CThread();
    virtual ~CThread();
    CThread(const CThread&) = delete;
    CThread& operator=(const CThread&) = delete;

    void Start();
    void Terminate();
    bool IsTerminating() const;
    // True when the thread has ended within the time-out (milliseconds).
    bool WaitFor(uint32_t timeout);

    // Waits for the event and consumes its signal; false when the thread is asked to stop
    // first. A producer that must wait for its consumers waits so, and stops on time.
    bool WaitUnlessStopped(CEvent& event);

    // The stop event's poll handle, for loops that wait on sockets and stop together.
    int GetStopPollHandle() const;

protected:
    virtual void Execute() = 0;

private:
    class CThreadImpl;
    std::shared_ptr<CThreadImpl> m_Impl;
};

}  // namespace Nerra
