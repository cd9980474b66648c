// The wake registry and its broadcast pass; see internal/WakeSource.h.
#include "internal/WakeSource.h"

#include "JxCriticalSectionLock.h"
#include "JxMonitorLock.h"
#include "JxThread.h"

namespace oscprobe::internal {

namespace {

// Constant-initialised and trivially destroyed: valid for the whole process.
std::atomic<unsigned long long> wake_generation{0};

} // namespace

unsigned long long wakeGeneration() { return wake_generation.load(); }

bool WakeRegistry::start(const void* key, SPEnabled* ref, std::atomic<JxMonitor*>* slot,
                         JxMonitor* monitor, void* (*entry)(void*))
{
    if (failed_.load())
        return false;
    {
        JxCriticalSectionLock lock(&csec_);
        enter(key, ref, slot, monitor, entry);
    }
    if (entry == nullptr)
        return true;
    // Outside the registry lock: the listener's first pass takes it.
    std::unique_lock<std::mutex> wait(listeningMutex_);
    listeningChanged_.wait(wait, [this] { return listening_; });
    return true;
}

void WakeRegistry::listening()
{
    {
        std::lock_guard<std::mutex> lock(listeningMutex_);
        listening_ = true;
    }
    listeningChanged_.notify_all();
}

void WakeRegistry::enter(const void* key, SPEnabled* ref, std::atomic<JxMonitor*>* slot,
                         JxMonitor* monitor, void* (*entry)(void*))
{
    Entry* found = nullptr;
    for (Entry& e : entries_) {
        if (e.key == key) {
            found = &e;
            break;
        }
    }
    if (found == nullptr) {
        found = &entries_.emplace_back();
        found->key = key;
        found->ref = ref;
        found->slot = slot != nullptr ? slot : &found->own;
    }
    if (slot == nullptr)
        found->own.store(monitor);
    if (!started_ && entry != nullptr) {
        JxThread creator;
        creator.createDetachedThread(entry, nullptr);
        started_ = true;
    }
}

void WakeRegistry::stop(const void* key)
{
    // The removed entry outlives the lock: if it holds the last reference,
    // the probe is destroyed when `removed` goes, and its destructor stops
    // it again, which must be able to take the lock.
    std::list<Entry> removed;
    JxCriticalSectionLock lock(&csec_);
    for (auto it = entries_.begin(); it != entries_.end(); ++it) {
        if (it->key == key) {
            removed.splice(removed.begin(), entries_, it);
            break;
        }
    }
}

void WakeRegistry::pass()
{
    JxCriticalSectionLock lock(&csec_);
    wake_generation.fetch_add(1);
    JxMonitor* last = nullptr;
    for (const Entry& e : entries_) {
        JxMonitor* target = e.slot->load();
        if (target == nullptr || target == last)
            continue;
        last = target;
        JxMonitorLock monitorLock(target);
        target->broadcast();
    }
}

} // namespace oscprobe::internal
