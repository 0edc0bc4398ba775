#pragma once

#include <string>

namespace Nerra {

// A job that shares a parallel worker thread with other jobs in short, non-blocking steps:
// network connections. Two units with equal names are the same job to the pools.
class CParallelWorkUnit {
public:
    explicit CParallelWorkUnit(const std::string& name) : m_Name(name) {}
    virtual ~CParallelWorkUnit() = default;
    CParallelWorkUnit(const CParallelWorkUnit&) = delete;
    CParallelWorkUnit& operator=(const CParallelWorkUnit&) = delete;

    const std::string& GetName() const { return m_Name; }

    // One short step that never blocks for long: every other unit of the thread waits
    // meanwhile. Returns false when the job is done. Sets idle when there is nothing to do
    // at the moment, which ends the unit's turn at once.
    virtual bool Process(bool& idle) = 0;

    // What an idle unit waits for, so that its thread can sleep until the descriptor is
    // ready instead of a whole sleep period: a connection asks for POLLIN on its socket.
    // A unit without a request is simply visited again after the sleep.
    virtual bool GetPollRequest(int& /*descriptor*/, short& /*events*/) const { return false; }

private:
    const std::string m_Name;
};

// A job that a sequential worker thread runs to completion in one call: message processing.
// Two units with equal names are the same job to the pools.
class CSequentialWorkUnit {
public:
    explicit CSequentialWorkUnit(const std::string& name) : m_Name(name) {}
    virtual ~CSequentialWorkUnit() = default;
    CSequentialWorkUnit(const CSequentialWorkUnit&) = delete;
    CSequentialWorkUnit& operator=(const CSequentialWorkUnit&) = delete;

    const std::string& GetName() const { return m_Name; }

    // The whole job; the unit is removed from its thread when this returns or throws.
    virtual void Process() = 0;

private:
    const std::string m_Name;
};

}  // namespace Nerra
