// The one mechanism behind every wake-up the library gives a host: a
// registry of monitors to wake, the broadcast pass over it and the count of
// passes (WakeRegistry), and a listener thread that blocks on a netlink
// socket and decides, datagram by datagram, when to run a pass
// (NetlinkListener). The address watcher, the power listener and
// liboscprobe-net's network listener are its sources; each supplies only
// what its datagrams mean.
//
// Threading and locks. A registry's lock (the source's, handed in) guards
// its entries and its started flag; it is held by start(), stop() and each
// whole pass. A pass enters each monitor only around its broadcast. Lock
// order: registry lock, then one monitor, never the reverse, so a host must
// not call start() or stop() while it holds a monitor that is registered.
// No path takes a registry lock its thread holds already: stop() drops the
// removed entry's reference after it leaves the lock, since that may
// destroy a probe whose destructor stops it again. The failed flag is
// atomic: set by the listener, read by start() without the lock. Registries
// are made on first use and never destroyed, since a detached listener and
// the stop() of a probe released during exit may reach them after static
// destructors have run.
//
// Errors are JxException throughout.
//
// Exported for the project's own libraries only (liboscprobe-net runs its
// source here, so that generation() counts its passes too), under the
// version node OSCPROBE_PRIVATE_1: no header is installed, and hosts get
// no promise about this interface from one release to the next.
#ifndef OSCPROBE_INTERNAL_WAKESOURCE_H
#define OSCPROBE_INTERNAL_WAKESOURCE_H

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>

#include "EvDebug.h"
#include "JxCriticalSection.h"
#include "JxMonitor.h"
#include "OscProbeExport.h"
#include "SP.h"

namespace oscprobe::internal {

// Broadcast passes run so far by every registry together. A pass counts
// before it enters any monitor, so a host that reads this with its monitor
// entered either sees the new value or gets the broadcast.
OSCPROBE_EXPORT unsigned long long wakeGeneration();

class OSCPROBE_EXPORT WakeRegistry {
public:
    // `csec` guards the registry; it must live as long as the registry.
    explicit WakeRegistry(JxCriticalSection& csec) : csec_(csec) {}
    WakeRegistry(const WakeRegistry&) = delete;
    WakeRegistry& operator=(const WakeRegistry&) = delete;

    // Under the lock: registers `key` unless it is registered already, then
    // creates the source's thread (`entry(nullptr)`) if none was created
    // yet. `ref` (null allowed) is held until stop(key). The monitor a pass
    // wakes is read from `*slot`, which the caller writes, or, with `slot`
    // null, from the entry itself, which is set (or moved) to `monitor`.
    // A null monitor is registered and never woken. Returns once the
    // source's socket is bound (or the source has failed), so that whatever
    // the host meets after start() has a socket to arrive on: a few system
    // calls of the listener's, no lock held. False, with nothing
    // registered, once the source has failed. Throws JxException when the
    // thread cannot be created: the entry stays, and the next start() tries
    // again. A null `entry` creates no thread and returns at once: for a
    // source that runs its listener itself and only needs the entries and
    // the pass (the bus source of liboscprobe-net).
    bool start(const void* key, SPEnabled* ref, std::atomic<JxMonitor*>* slot, JxMonitor* monitor,
               void* (*entry)(void*));

    // Withdraws `key`; harmless without a start(). Once it returns, no pass
    // uses the entry's monitor.
    void stop(const void* key);

    // One broadcast pass: under the lock, counts the pass, then enters,
    // broadcasts on and leaves each entry's monitor in registration order;
    // consecutive entries that share a monitor get one broadcast, null
    // monitors none.
    void pass();

    // The source has ended: every later start() returns false, and those
    // waiting for the socket return. Call pass() after it, so that waiting
    // hosts look for themselves.
    void fail()
    {
        failed_.store(true);
        listening();
    }
    bool failed() const { return failed_.load(); }

    // The listener's socket is bound: start() calls return.
    void listening();

private:
    // start()'s part under the lock: the entry, and the thread once.
    void enter(const void* key, SPEnabled* ref, std::atomic<JxMonitor*>* slot, JxMonitor* monitor,
               void* (*entry)(void*));

    struct Entry {
        const void* key;
        SP<SPEnabled> ref;
        std::atomic<JxMonitor*>* slot;
        std::atomic<JxMonitor*> own{nullptr};
    };

    JxCriticalSection& csec_;
    std::list<Entry> entries_;
    // Guarded by csec_; set once the thread is created, never cleared.
    bool started_ = false;
    std::atomic<bool> failed_{false};
    // Set once the socket is bound or the source failed; never cleared.
    std::mutex listeningMutex_;
    std::condition_variable listeningChanged_;
    bool listening_ = false; // guarded by listeningMutex_
};

// A source's listener thread over one netlink socket. The source's thread
// entry constructs one and calls run() with what the source supplies;
// run() returns when the thread is to end.
//
// run() makes and binds the socket, lets start() return, calls opened(),
// then forever: receives a datagram (EINTR retried silently) and asks
// interesting(); when it is, or the kernel dropped messages (ENOBUFS, logged
// at level 2 and counted as interesting), it takes whatever else is queued
// without blocking (at most kMaxDrained datagrams, each asked too) and calls
// batch(). A source with a
// timed wake says how long to wait at most (waitLimitMs) and is told when
// that passed with nothing received (timedOut). Any other error, and any
// exception from the source, is the failure path: logged, socket closed,
// registry failed, one last pass, run() returns.
//
// No virtual functions here, nor in the sources: the failure path must run
// even without a descriptor to spare, where a sanitizer's check of a
// dynamic type could not.
class OSCPROBE_EXPORT NetlinkListener {
public:
    // What the source listens to, and the texts and line identifiers of
    // its socket errors (each followed by the system's error text).
    struct Spec {
        int type;
        int protocol;
        uint32_t groups;
        size_t bufferSize;
        const char* tag;
        const char* file;
        const char* socketText;
        int socketLine;
        const char* bindText;
        int bindLine;
        const char* receiveText;
        int receiveLine;
        // The level-2 line when the kernel dropped messages.
        const char* lostText;
    };

    // What the source supplies; `interesting` and `batch` are required.
    struct Source {
        // After the socket is bound, before the first receive.
        std::function<void()> opened;
        // Whether a datagram asks for a batch; may note what it says.
        std::function<bool(const unsigned char* data, size_t length)> interesting;
        // After the drain of an interesting round: decide, and pass() or not.
        std::function<void()> batch;
        // The longest wait for the next datagram in milliseconds; negative
        // (or empty): no limit; 0: timedOut at once.
        std::function<int()> waitLimitMs;
        std::function<void()> timedOut;
    };

    static constexpr int kMaxDrained = 1024;

    NetlinkListener(WakeRegistry& registry, const Spec& spec);
    ~NetlinkListener();
    NetlinkListener(const NetlinkListener&) = delete;
    NetlinkListener& operator=(const NetlinkListener&) = delete;

    void run(const Source& source);

    void pass() { registry_.pass(); }
    // Whether a datagram (or an overflow) is queued; a failed poll says yes.
    bool queued() const;

    EvDebug log;

private:
    void openSocket();
    bool receive(int flags);
    void drain();
    void closeSocket();

    WakeRegistry& registry_;
    const Spec spec_;
    const Source* source_ = nullptr;
    int sock_ = -1;
    std::unique_ptr<unsigned char[]> buffer_;
    // This round holds an interesting datagram or an overflow.
    bool interesting_ = false;
};

} // namespace oscprobe::internal

#endif
