#pragma once

#include <cstdint>
#include <memory>

#include "core/CLog.h"

namespace Nerra {

// Time-outs are milliseconds; INFINITE_TIMEOUT waits without limit.
constexpr uint32_t INFINITE_TIMEOUT = 0xFFFFFFFFu;

// Anything that can be held for a stretch of code and let go again.
class CLockable {
public:
    virtual bool Acquire(uint32_t timeout) = 0;
    virtual void Release() = 0;

protected:
    ~CLockable() = default;
};

// A recursive lock owned by the thread that holds it. Acquire waits at most `timeout`
// milliseconds; a Release by a thread that does not hold it aborts the process, since it
// can only be a programming error.
class CLock : public CLockable {
public:
    CLock();
    virtual ~CLock();
    CLock(const CLock&) = delete;
    CLock& operator=(const CLock&) = delete;

    bool Acquire(uint32_t timeout) override;
    void Release() override;

    // True when the calling thread holds the lock (at any depth).
    bool IsHeldByCurrentThread() const;

private:
    struct CLockImpl;
    std::unique_ptr<CLockImpl> m_Impl;
};

// Holds a lockable for the life of a block; releases only what it acquired.
class CLockGuard {
public:
    explicit CLockGuard(CLockable& lock, uint32_t timeout = INFINITE_TIMEOUT)
        : m_Lock(lock), m_Acquired(lock.Acquire(timeout)) {}
    ~CLockGuard()
    {
        if (m_Acquired)
            m_Lock.Release();
    }
    CLockGuard(const CLockGuard&) = delete;
    CLockGuard& operator=(const CLockGuard&) = delete;

    bool IsAcquired() const { return m_Acquired; }

private:
    CLockable& m_Lock;
    bool m_Acquired;
};

// An object kept together with the lock that guards it: take a guard on the CLocked,
// then use the object.
template <class T>
class CLocked : public CLock {
public:
    T& Get() { return m_Object; }
    const T& Get() const { return m_Object; }
    T* operator->() { return &m_Object; }
    T& operator*() { return m_Object; }

private:
    T m_Object{};
};

}  // namespace Nerra
