#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <condition_variable>
#include <mutex>
#include <utility>
#include <vector>

#include "core/Trace.h"
#include "runtime/CLock.h"

namespace Nerra {

// A cache of objects loaded from files by name, with one lock per name. Workers share a
// name's object through GetObject; the console locks a name to evict the object and keep
// everyone from loading it again while outside tools rewrite the files behind it. The
// loader given at construction builds a name's object.
//
// Waits are woken by what they wait for: an unlock, a Clear, or the end of the last use
// of an evicted object; nothing looks again after a sleep.
template <class T>
class CLockablePool {
public:
    using CLoader = std::function<std::shared_ptr<T>(const std::string& name)>;

    explicit CLockablePool(CLoader loader) : m_Loader(std::move(loader)), m_Sync(std::make_shared<CSync>()) {}

    // The name's object, loaded first if the cache holds none. Waits while the name is locked,
    // at most `timeout` milliseconds: null when that runs out. The object stays alive as long
    // as any copy of the returned pointer does.
    std::shared_ptr<T> GetObject(const std::string& name, uint32_t timeout = INFINITE_TIMEOUT);

    // Locks the name for the calling thread and evicts its object, waiting at most `timeout`
    // for the name and as long again for the object's other users to let go. False,
    // with the object back in place and the name unlocked, when either wait times out.
    // The lock is recursive: each successful call needs its own UnlockObject.
    bool LockObject(const std::string& name, uint32_t timeout);

    // Releases one LockObject of the calling thread. A name this thread does not hold (never
    // locked, or its entry dropped by Clear) is left alone: only its holder may release it.
    void UnlockObject(const std::string& name);
    // Releases every lock the calling thread holds on the pool's names, however often it
    // locked each: a thread that stops must not leave others waiting for it for good.
    void UnlockAll();

    // Drops every entry, locked ones too; objects still in use live on with their users.
    void Clear();

    // Unloads every object that no one else holds, destroying it under its name's lock: a
    // user asking for it meanwhile waits and then loads it afresh from what the destruction
    // left on disk. An object in use, or a name that is locked, is left as it is: unloading
    // an object in use would let the next user load a second, stale copy beside it.
    void Flush();

private:
    // Every wait of the pool (for a name, for an object's users) is on one condition
    // variable, notified by whatever may end a wait: an unlock, a Clear, the end of a
    // lease. Shared with the leases, which may outlive the pool.
    struct CSync {
        std::mutex mutex;
        std::condition_variable changed;
    };

    // A name's lock and cached object, all under the pool mutex. Held by shared ownership so
    // that it outlives its removal from the map.
    struct CEntry {
        uint32_t owner = 0;  // thread holding the name, kernel thread ids are never 0
        uint32_t depth = 0;
        std::shared_ptr<T> object;
        // The pointer handed to users: its last copy's end is the event LockObject waits for.
        std::weak_ptr<T> lease;
        size_t openLeases = 0;
        // Set by Clear: whoever waits for this entry must look the name up again, or it
        // would wait for an unlock that now goes to the name's new entry.
        bool removed = false;
    };
    using CGuard = std::unique_lock<std::mutex>;

    std::shared_ptr<CEntry> FindEntry(const std::string& name);
    // Takes the name's current entry for the calling thread; null when the time-out passes.
    std::shared_ptr<CEntry> AcquireEntry(CGuard& guard, const std::string& name, uint32_t timeout);
    void ReleaseEntry(CEntry& entry);
    std::shared_ptr<T> Lease(const std::shared_ptr<CEntry>& entry);
    void WarnLockTimedOut(const std::string& name, uint32_t timeout);

    const CLoader m_Loader;
    const std::shared_ptr<CSync> m_Sync;
    std::map<std::string, std::shared_ptr<CEntry>> m_Entries;
};

namespace LockablePoolDetail {
// Waits until `done`, at most `timeout` milliseconds; false when the time-out passed first.
inline bool WaitUntil(std::condition_variable& changed, std::unique_lock<std::mutex>& guard, uint32_t timeout,
                      const std::function<bool()>& done)
{
    if (timeout == INFINITE_TIMEOUT) {
        changed.wait(guard, done);
        return true;
    }
    return changed.wait_for(guard, std::chrono::milliseconds(timeout), done);
}
}  // namespace LockablePoolDetail

template <class T>
std::shared_ptr<T> CLockablePool<T>::GetObject(const std::string& name, uint32_t timeout)
{
    NERRA_TRACE_BEGIN
    std::shared_ptr<CEntry> entry;
    {
        CGuard guard(m_Sync->mutex);
        entry = AcquireEntry(guard, name, timeout);
        if (!entry)
            return nullptr;
        if (entry->object) {
            std::shared_ptr<T> leased = Lease(entry);
            ReleaseEntry(*entry);
            return leased;
        }
    }
    // The load runs with the name held but the pool free: other names go on meanwhile.
    struct CRelease {
        CLockablePool& pool;
        CEntry& entry;
        ~CRelease()
        {
            std::lock_guard<std::mutex> guard(pool.m_Sync->mutex);
            pool.ReleaseEntry(entry);
        }
    } release{*this, *entry};
    // A failing load leaves the entry empty, so the next caller tries again.
    std::shared_ptr<T> loaded = m_Loader(name);
    std::lock_guard<std::mutex> guard(m_Sync->mutex);
    entry->object = std::move(loaded);
    return Lease(entry);
    NERRA_TRACE_END("CLockablePool::GetObject(" NERRA_PTR ")", NERRA_PTR_ARG(&name))
}

template <class T>
bool CLockablePool<T>::LockObject(const std::string& name, uint32_t timeout)
{
    NERRA_TRACE_BEGIN
    std::shared_ptr<T> evicted;
    {
        CGuard guard(m_Sync->mutex);
        std::shared_ptr<CEntry> entry = AcquireEntry(guard, name, timeout);
        if (!entry) {
            guard.unlock();
            WarnLockTimedOut(name, timeout);
            return false;
        }
        evicted = std::move(entry->object);
        // Workers that got the object go on using it; the files behind it are free only
        // once they all let go, which the end of their lease tells.
        if (!LockablePoolDetail::WaitUntil(m_Sync->changed, guard, timeout,
                                           [&entry] { return entry->openLeases == 0; })) {
            entry->object = std::move(evicted);
            ReleaseEntry(*entry);
            guard.unlock();
            WarnLockTimedOut(name, timeout);
            return false;
        }
    }
    // The last reference goes here, outside the pool mutex: destroying it may save a file.
    evicted.reset();
    return true;
    NERRA_TRACE_END("CLockablePool::LockObject(" NERRA_PTR ", %d)", NERRA_PTR_ARG(&name), static_cast<int>(timeout))
}

template <class T>
void CLockablePool<T>::UnlockObject(const std::string& name)
{
    NERRA_TRACE_BEGIN
    CGuard guard(m_Sync->mutex);
    std::shared_ptr<CEntry> entry = FindEntry(name);
    if (entry->depth > 0 && entry->owner == CurrentThreadId())
        ReleaseEntry(*entry);
    NERRA_TRACE_END("CLockablePool::UnlockObject(" NERRA_PTR ")", NERRA_PTR_ARG(&name))
}

template <class T>
void CLockablePool<T>::UnlockAll()
{
    NERRA_TRACE_BEGIN
    CGuard guard(m_Sync->mutex);
    for (auto& named : m_Entries) {
        CEntry& entry = *named.second;
        if (entry.depth > 0 && entry.owner == CurrentThreadId()) {
            entry.depth = 1;
            ReleaseEntry(entry);
        }
    }
    NERRA_TRACE_END("CLockablePool::UnlockAll()")
}

template <class T>
void CLockablePool<T>::Clear()
{
    NERRA_TRACE_BEGIN
    std::map<std::string, std::shared_ptr<CEntry>> dropped;
    std::vector<std::shared_ptr<T>> objects;
    {
        CGuard guard(m_Sync->mutex);
        for (auto& named : m_Entries) {
            named.second->removed = true;
            objects.push_back(std::move(named.second->object));
        }
        dropped.swap(m_Entries);
    }
    m_Sync->changed.notify_all();
    // The objects go here, outside the pool mutex: destroying one may save it to its file.
    NERRA_TRACE_END("CLockablePool::Clear()")
}

template <class T>
void CLockablePool<T>::Flush()
{
    NERRA_TRACE_BEGIN
    std::vector<std::shared_ptr<T>> unloaded;
    std::vector<std::shared_ptr<CEntry>> held;
    {
        CGuard guard(m_Sync->mutex);
        for (auto& named : m_Entries) {
            CEntry& entry = *named.second;
            // A name held elsewhere is either locked by the console or being loaded: left alone.
            if (entry.depth > 0 || !entry.object || entry.openLeases > 0)
                continue;
            // Held while its object is destroyed: a user asking for it meanwhile waits and then
            // loads it afresh from what the destruction left on disk.
            entry.owner = CurrentThreadId();
            entry.depth = 1;
            unloaded.push_back(std::move(entry.object));
            held.push_back(named.second);
        }
    }
    for (std::shared_ptr<T>& object : unloaded) {
        try {
            object.reset();
        } catch (...) {
            std::lock_guard<std::mutex> guard(m_Sync->mutex);
            for (const std::shared_ptr<CEntry>& entry : held)
                ReleaseEntry(*entry);
            throw;
        }
    }
    std::lock_guard<std::mutex> guard(m_Sync->mutex);
    for (const std::shared_ptr<CEntry>& entry : held)
        ReleaseEntry(*entry);
    NERRA_TRACE_END("CLockablePool::Flush()")
}

template <class T>
std::shared_ptr<typename CLockablePool<T>::CEntry> CLockablePool<T>::FindEntry(const std::string& name)
{
    std::shared_ptr<CEntry>& entry = m_Entries[name];
    if (!entry)
        entry = std::make_shared<CEntry>();
    return entry;
}

template <class T>
std::shared_ptr<typename CLockablePool<T>::CEntry> CLockablePool<T>::AcquireEntry(CGuard& guard,
                                                                                  const std::string& name,
                                                                                  uint32_t timeout)
{
    const uint32_t self = CurrentThreadId();
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout);
    for (;;) {
        std::shared_ptr<CEntry> entry = FindEntry(name);
        auto ready = [&entry, self] { return entry->removed || entry->depth == 0 || entry->owner == self; };
        if (timeout == INFINITE_TIMEOUT)
            m_Sync->changed.wait(guard, ready);
        else if (!m_Sync->changed.wait_until(guard, deadline, ready))
            return nullptr;
        if (entry->removed)
            continue;
        entry->owner = self;
        ++entry->depth;
        return entry;
    }
}

template <class T>
void CLockablePool<T>::ReleaseEntry(CEntry& entry)
{
    if (--entry.depth == 0) {
        entry.owner = 0;
        m_Sync->changed.notify_all();
    }
}

template <class T>
std::shared_ptr<T> CLockablePool<T>::Lease(const std::shared_ptr<CEntry>& entry)
{
    if (std::shared_ptr<T> leased = entry->lease.lock())
        return leased;
    // The lease keeps the object alive and tells the pool when its last copy is gone: its
    // deleter drops the object first, so a waiting LockObject finds itself the last owner.
    // The deleter lives on as long as the entry's weak_ptr to the lease does, so it lets go
    // of the entry and the pool's sync itself: holding them would keep each other alive.
    ++entry->openLeases;
    std::shared_ptr<T> object = entry->object;
    T* raw = object.get();
    std::shared_ptr<T> leased(raw, [object = std::move(object), held = entry, sync = m_Sync](T*) mutable {
        object.reset();
        {
            std::lock_guard<std::mutex> guard(sync->mutex);
            --held->openLeases;
        }
        sync->changed.notify_all();
        held.reset();
        sync.reset();
    });
    entry->lease = leased;
    return leased;
}

template <class T>
void CLockablePool<T>::WarnLockTimedOut(const std::string& name, uint32_t timeout)
{
    CLog::Instance().Warning("CLockablePool::LockObject(" NERRA_PTR ", %d): an attempt to lock object timed out",
                             NERRA_PTR_ARG(&name), static_cast<int>(timeout));
}

}  // namespace Nerra
