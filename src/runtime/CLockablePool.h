#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
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
// Lock order: the pool lock is taken and released before any entry lock is awaited, and
// is never requested while an entry lock is held.
template <class T>
class CLockablePool {
public:
    using CLoader = std::function<std::shared_ptr<T>(const std::string& name)>;

    explicit CLockablePool(CLoader loader) : m_Loader(std::move(loader)) {}

    // The name's object, loaded first if the cache holds none. Waits while the name is locked,
    // at most `timeout` milliseconds: null when that runs out.
    std::shared_ptr<T> GetObject(const std::string& name, uint32_t timeout = INFINITE_TIMEOUT);

    // Locks the name for the calling thread and evicts its object, waiting at most `timeout`
    // for the entry lock and as long again for the object's other users to let go. False,
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
    // A name's lock and cached object; the object is touched only under the entry lock.
    // Held by shared ownership so that it outlives its removal from the map.
    struct CEntry {
        CLock lock;
        std::shared_ptr<T> object;
        // Set by Clear: whoever waits for this entry must look the name up again, or it
        // would wait for an unlock that now goes to the name's new entry.
        std::atomic<bool> removed{false};
    };

    // Releases an acquired entry lock at the end of a block unless told to keep it.
    class CEntryHold {
    public:
        explicit CEntryHold(std::shared_ptr<CEntry> entry) : m_Entry(std::move(entry)) {}
        ~CEntryHold()
        {
            if (m_Entry)
                m_Entry->lock.Release();
        }
        CEntryHold(const CEntryHold&) = delete;
        CEntryHold& operator=(const CEntryHold&) = delete;
        CEntry* operator->() const { return m_Entry.get(); }
        void Keep() { m_Entry.reset(); }

    private:
        std::shared_ptr<CEntry> m_Entry;
    };

    // How often a waiter for an entry lock checks whether Clear dropped the entry.
    static constexpr uint32_t REMOVAL_CHECK_MS = 100;
    // How often LockObject looks whether the evicted object's other users let go.
    static constexpr uint32_t RELEASE_POLL_MS = 10;

    std::shared_ptr<CEntry> FindEntry(const std::string& name);
    // A snapshot of the entries, taken under the pool lock and used after it is released.
    std::vector<std::shared_ptr<CEntry>> AllEntries();
    // The name's current entry with its lock held by the caller, or null on time-out.
    std::shared_ptr<CEntry> AcquireEntry(const std::string& name, uint32_t timeout);
    void WarnLockTimedOut(const std::string& name, uint32_t timeout);

    const CLoader m_Loader;
    CLocked<std::map<std::string, std::shared_ptr<CEntry>>> m_Entries;
};

template <class T>
std::shared_ptr<T> CLockablePool<T>::GetObject(const std::string& name, uint32_t timeout)
{
    NERRA_TRACE_BEGIN
    std::shared_ptr<CEntry> entry = AcquireEntry(name, timeout);
    if (!entry)
        return nullptr;
    CEntryHold hold(std::move(entry));
    // A failing load leaves the entry empty, so the next caller tries again.
    if (!hold->object)
        hold->object = m_Loader(name);
    return hold->object;
    NERRA_TRACE_END("CLockablePool::GetObject(" NERRA_PTR ")", NERRA_PTR_ARG(&name))
}

template <class T>
bool CLockablePool<T>::LockObject(const std::string& name, uint32_t timeout)
{
    NERRA_TRACE_BEGIN
    std::shared_ptr<CEntry> entry = AcquireEntry(name, timeout);
    if (!entry) {
        WarnLockTimedOut(name, timeout);
        return false;
    }
    CEntryHold hold(entry);
    std::shared_ptr<T> evicted = std::move(entry->object);
    // Workers that got the object go on using it; the files behind it are free only once
    // they all let go.
    uint32_t waited = 0;
    while (evicted && evicted.use_count() > 1) {
        if (timeout != INFINITE_TIMEOUT && waited >= timeout) {
            entry->object = std::move(evicted);
            WarnLockTimedOut(name, timeout);
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(RELEASE_POLL_MS));
        waited += RELEASE_POLL_MS;
    }
    evicted.reset();
    hold.Keep();
    return true;
    NERRA_TRACE_END("CLockablePool::LockObject(" NERRA_PTR ", %d)", NERRA_PTR_ARG(&name), static_cast<int>(timeout))
}

template <class T>
void CLockablePool<T>::UnlockObject(const std::string& name)
{
    NERRA_TRACE_BEGIN
    std::shared_ptr<CEntry> entry = FindEntry(name);
    if (entry->lock.IsHeldByCurrentThread())
        entry->lock.Release();
    NERRA_TRACE_END("CLockablePool::UnlockObject(" NERRA_PTR ")", NERRA_PTR_ARG(&name))
}

template <class T>
void CLockablePool<T>::UnlockAll()
{
    NERRA_TRACE_BEGIN
    for (const std::shared_ptr<CEntry>& entry : AllEntries())
        while (entry->lock.IsHeldByCurrentThread())
            entry->lock.Release();
    NERRA_TRACE_END("CLockablePool::UnlockAll()")
}

template <class T>
void CLockablePool<T>::Clear()
{
    NERRA_TRACE_BEGIN
    std::map<std::string, std::shared_ptr<CEntry>> dropped;
    {
        CLockGuard guard(m_Entries);
        for (auto& named : *m_Entries)
            named.second->removed = true;
        dropped.swap(*m_Entries);
    }
    // The objects go here, outside the pool lock: destroying one may save it to its file.
    NERRA_TRACE_END("CLockablePool::Clear()")
}

template <class T>
void CLockablePool<T>::Flush()
{
    NERRA_TRACE_BEGIN
    for (const std::shared_ptr<CEntry>& entry : AllEntries()) {
        // A name held elsewhere is either locked by the console or being loaded: left alone.
        if (!entry->lock.Acquire(0))
            continue;
        CEntryHold hold(entry);
        // Copies are made only under the entry lock, so a count of one cannot grow meanwhile.
        if (entry->object.use_count() == 1)
            entry->object.reset();
    }
    NERRA_TRACE_END("CLockablePool::Flush()")
}

template <class T>
std::vector<std::shared_ptr<typename CLockablePool<T>::CEntry>> CLockablePool<T>::AllEntries()
{
    std::vector<std::shared_ptr<CEntry>> entries;
    CLockGuard guard(m_Entries);
    for (auto& named : *m_Entries)
        entries.push_back(named.second);
    return entries;
}

template <class T>
std::shared_ptr<typename CLockablePool<T>::CEntry> CLockablePool<T>::FindEntry(const std::string& name)
{
    CLockGuard guard(m_Entries);
    std::shared_ptr<CEntry>& entry = (*m_Entries)[name];
    if (!entry)
        entry = std::make_shared<CEntry>();
    return entry;
}

template <class T>
std::shared_ptr<typename CLockablePool<T>::CEntry> CLockablePool<T>::AcquireEntry(const std::string& name,
                                                                                  uint32_t timeout)
{
    using Clock = std::chrono::steady_clock;
    const Clock::time_point start = Clock::now();
    auto remaining = [&]() -> uint32_t {
        if (timeout == INFINITE_TIMEOUT)
            return INFINITE_TIMEOUT;
        const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
        return elapsed >= timeout ? 0 : static_cast<uint32_t>(timeout - elapsed);
    };
    for (;;) {
        std::shared_ptr<CEntry> entry = FindEntry(name);
        while (!entry->removed) {
            const uint32_t left = remaining();
            if (entry->lock.Acquire(std::min(left, REMOVAL_CHECK_MS))) {
                if (!entry->removed)
                    return entry;
                entry->lock.Release();
            } else if (left <= REMOVAL_CHECK_MS) {
                return nullptr;
            }
        }
    }
}

template <class T>
void CLockablePool<T>::WarnLockTimedOut(const std::string& name, uint32_t timeout)
{
    CLog::Instance().Warning("CLockablePool::LockObject(" NERRA_PTR ", %d): an attempt to lock object timed out",
                             NERRA_PTR_ARG(&name), static_cast<int>(timeout));
}

}  // namespace Nerra
