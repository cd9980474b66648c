// The power probes' registry of started probes and the power-event
// listener: one detached thread per process on a kernel uevent socket,
// which wakes the monitor of every started power probe when the kernel
// announces a power-supply change (a charger plugged in or pulled, a battery
// changing state). An event is only a hint to look again: the answer always
// comes from the files probe() reads, so a message from any sender costs a
// host at most one evaluation.
//
// Lock order: the power registry's lock, then at most one host monitor, as
// for the address watcher. The listener holds no lock while it waits.
#include "internal/OscProbePowerEvents.h"

#include <errno.h>
#include <linux/netlink.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <list>
#include <memory>
#include <string>

#include <cxxabi.h>

#include "JxCriticalSection.h"
#include "JxCriticalSectionLock.h"
#include "JxMonitorLock.h"
#include "JxThread.h"
#include "SP.h"
#include "internal/OscProbeACInternal.h"
#include "OscProbe.h"

namespace {

const char* const kListenerTag = "OscProbe::powerListener";

// Kernel uevents are multicast to this group; udev's own re-broadcasts go to
// another, so each change arrives once.
constexpr uint32_t kKernelUeventGroup = 1;
// A uevent is at most a few kilobytes of "KEY=value" text.
constexpr size_t kUeventBufferSize = 8192;
// Well above what a default-sized receive queue holds of uevents.
constexpr int kMaxDrained = 1024;

struct Started {
    SP<OscProbe> probe;
    JxMonitor* monitor;
    const void* key;
};

// Made on first use and never destroyed, like the address watcher's: the
// detached listener may still reach them after static destructors have run.
JxCriticalSection& powerCsec()
{
    static JxCriticalSection& power_csec = *new JxCriticalSection;
    return power_csec;
}

std::list<Started>& powerList()
{
    static std::list<Started>& power_list = *new std::list<Started>;
    return power_list;
}

// Guarded by power_csec.
bool listener_started = false;
// Set by the listener when it ends; read by start() without the lock.
std::atomic<bool> listener_failed{false};

// Wakes every started probe's monitor once; consecutive entries that share a
// monitor get one broadcast.
void wakeAll()
{
    JxCriticalSectionLock lock(&powerCsec());
    oscprobe::internal::countWakePass();
    JxMonitor* last = nullptr;
    for (const Started& entry : powerList()) {
        if (entry.monitor == nullptr || entry.monitor == last)
            continue;
        last = entry.monitor;
        JxMonitorLock monitorLock(entry.monitor);
        entry.monitor->broadcast();
    }
}

// The bound socket, or -1 with *err set.
int openUeventSocket(int* err)
{
    const int sock = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_KOBJECT_UEVENT);
    if (sock < 0) {
        *err = errno;
        return -1;
    }
    struct sockaddr_nl address;
    memset(&address, 0, sizeof address);
    address.nl_family = AF_NETLINK;
    address.nl_groups = kKernelUeventGroup;
    if (bind(sock, reinterpret_cast<struct sockaddr*>(&address), sizeof address) < 0) {
        *err = errno;
        close(sock);
        return -1;
    }
    return sock;
}

// What a failing receive left in errno.
struct SocketError {
    int err;
};

// One datagram; true when it announced a power-supply change, or when the
// queue overflowed (a dropped message may have been one). Throws
// SocketError; EAGAIN with MSG_DONTWAIT means the queue is empty.
bool receivePowerEvent(int sock, int flags, char* buffer, EvDebug& log)
{
    for (;;) {
        const ssize_t n = recv(sock, buffer, kUeventBufferSize, flags);
        if (n >= 0)
            return oscprobe::internal::isPowerSupplyUevent(buffer, static_cast<size_t>(n));
        if (errno == EINTR)
            continue;
        if (errno == ENOBUFS) {
            log.DebugLvl(kListenerTag, 2, "Lost power events from netlink: %s", strerror(errno));
            return true;
        }
        throw SocketError{errno};
    }
}

void* listen(void* arg)
{
    const int sock = static_cast<int>(reinterpret_cast<intptr_t>(arg));
    EvDebug log(nullptr);
    std::unique_ptr<char[]> buffer(new char[kUeventBufferSize]);
    try {
        for (;;) {
            if (!receivePowerEvent(sock, 0, buffer.get(), log))
                continue;
            // A plug-in announces the mains supply and every battery at
            // once: what is already queued is covered by this one wake-up.
            for (int drained = 0; drained < kMaxDrained; ++drained) {
                try {
                    receivePowerEvent(sock, MSG_DONTWAIT, buffer.get(), log);
                } catch (const SocketError& e) {
                    if (e.err != EAGAIN && e.err != EWOULDBLOCK)
                        throw;
                    break;
                }
            }
            log.DebugLvl(kListenerTag, 2, "Power supply changed.");
            wakeAll();
        }
    } catch (const SocketError& e) {
        log.Error(kListenerTag, "Failed to receive power events from netlink: %s", strerror(e.err));
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (...) {
        log.Error(kListenerTag, "Unknown exception");
    }
    // Every later start() says false, and waiting hosts re-evaluate now
    // rather than wait for an event that will not come; they poll from then on.
    close(sock);
    listener_failed.store(true);
    wakeAll();
    return nullptr;
}

} // namespace

namespace oscprobe::internal {

namespace {
std::atomic<unsigned long long> wake_generation{0};
}

void countWakePass() { wake_generation.fetch_add(1); }
unsigned long long wakeGeneration() { return wake_generation.load(); }

bool startPowerEvents(const void* key, OscProbe* probe, JxMonitor* newMonitor, EvDebug& debug)
{
    if (listener_failed.load())
        return false;
    JxCriticalSectionLock lock(&powerCsec());
    if (!listener_started) {
        int err = 0;
        const int sock = openUeventSocket(&err);
        if (sock < 0) {
            debug.Error(kListenerTag, "Couldn't listen for power events: %s", strerror(err));
            return false;
        }
        try {
            JxThread creator;
            creator.createDetachedThread(&listen, reinterpret_cast<void*>(static_cast<intptr_t>(sock)));
        } catch (...) {
            close(sock);
            throw;
        }
        listener_started = true;
    }
    for (Started& entry : powerList()) {
        if (entry.key == key) {
            entry.monitor = newMonitor;
            return true;
        }
    }
    powerList().push_back(Started{SP<OscProbe>(probe), newMonitor, key});
    return true;
}

bool startPowerEvents(OscProbe* probe, JxMonitor* newMonitor, EvDebug& debug)
{
    return newMonitor != nullptr && startPowerEvents(probe, probe, newMonitor, debug);
}

void stopPowerEvents(const void* key)
{
    // The removed entry outlives the lock: with the last reference it
    // destroys the probe, whose destructor calls stop() again.
    std::list<Started> removed;
    JxCriticalSectionLock lock(&powerCsec());
    std::list<Started>& registry = powerList();
    for (auto it = registry.begin(); it != registry.end(); ++it) {
        if (it->key == key) {
            removed.splice(removed.begin(), registry, it);
            break;
        }
    }
}

} // namespace oscprobe::internal
