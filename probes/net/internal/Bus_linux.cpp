// The system bus side of the network probes: NetworkManager's properties,
// read with a deadline, and the bus source's listener. See internal/Bus.h.
#include "internal/Bus.h"

#include <poll.h>
#include <pthread.h>
#include <string.h>
#include <sys/eventfd.h>
#include <systemd/sd-bus.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <atomic>
#include <memory>
#include <set>
#include <vector>

#include "EvDebug.h"
#include "JxCriticalSection.h"
#include "JxCriticalSectionLock.h"
#include "JxException.h"
#include "OscProbe.h"
#include "internal/NetworkKernel.h"
#include "internal/ReachableKernel.h"
#include "internal/WakeSource.h"

namespace oscprobe::internal {

namespace {

constexpr const char* kService = "org.freedesktop.NetworkManager";
constexpr const char* kManagerPath = "/org/freedesktop/NetworkManager";
constexpr const char* kManager = "org.freedesktop.NetworkManager";
constexpr const char* kActive = "org.freedesktop.NetworkManager.Connection.Active";
constexpr const char* kAccessPoint = "org.freedesktop.NetworkManager.AccessPoint";
constexpr const char* kListenerTag = "OscProbeBus::listener";
constexpr const char* kWifiTag = "OscProbeNetwork::probe";
constexpr const char* kFile = "Bus_linux";

// A read, or the listener's set-up, as a whole.
constexpr uint64_t kBudgetUsec = 1000000;
// How often a listener without a bus tries again.
constexpr uint64_t kRetryUsec = 5000000;
// Active connections looked at for a Wi-Fi name, at most.
constexpr size_t kMaxConnections = 16;

uint64_t nowUsec()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000u + static_cast<uint64_t>(ts.tv_nsec) / 1000u;
}

// Milliseconds to poll until `until` (CLOCK_MONOTONIC, µs), rounded up;
// -1 for UINT64_MAX, sd-bus's "no timeout".
int pollMs(uint64_t until)
{
    if (until == UINT64_MAX)
        return -1;
    const uint64_t now = nowUsec();
    if (until <= now)
        return 0;
    const uint64_t ms = (until - now + 999) / 1000;
    return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

std::string errnoText(int negative) { return strerror(negative < 0 ? -negative : negative); }

struct BusUnref {
    void operator()(sd_bus* bus) const { sd_bus_close_unref(bus); }
};
using BusPtr = std::unique_ptr<sd_bus, BusUnref>;
struct MessageUnref {
    void operator()(sd_bus_message* m) const { sd_bus_message_unref(m); }
};
using MessagePtr = std::unique_ptr<sd_bus_message, MessageUnref>;

// Runs `bus` until `done()` or `deadline`: 0, -ETIMEDOUT, or the bus's
// error. sd_bus_call would wait for the bus's own handshake without a
// bound of ours; this never waits past the deadline.
template <class Done> int runUntil(sd_bus* bus, uint64_t deadline, Done done)
{
    while (!done()) {
        const int r = sd_bus_process(bus, nullptr);
        if (r < 0)
            return r;
        if (r > 0)
            continue;
        const uint64_t now = nowUsec();
        if (now >= deadline)
            return -ETIMEDOUT;
        const int w = sd_bus_wait(bus, deadline - now);
        if (w < 0 && w != -EINTR)
            return w;
    }
    return 0;
}

// NetworkManager's properties, one read's worth: one connection and one
// deadline for all the calls. A call that fails for the object alone (a
// connection that went meanwhile, a missing property, a wrong type) leaves
// the reader usable; a bus that fails or does not answer in time does not.
class NmReader {
public:
    NmReader() : deadline_(nowUsec() + kBudgetUsec)
    {
        sd_bus* bus = nullptr;
        const int r = sd_bus_open_system(&bus);
        if (r < 0) {
            fail(MeteredRead::ABSENT, "no system bus: " + errnoText(r));
            return;
        }
        bus_.reset(bus);
    }

    // True with *reply positioned in the value of `property`, which is of
    // `type`.
    bool get(const char* path, const char* interface, const char* property, const char* type,
             MessagePtr* reply)
    {
        if (!bus_)
            return false;
        sd_bus_message* call = nullptr;
        int r = sd_bus_message_new_method_call(bus_.get(), &call, kService, path,
                                               "org.freedesktop.DBus.Properties", "Get");
        MessagePtr owned(call);
        // A probe never starts NetworkManager.
        if (r >= 0)
            r = sd_bus_message_set_auto_start(call, 0);
        if (r >= 0)
            r = sd_bus_message_append(call, "ss", interface, property);
        Pending pending;
        sd_bus_slot* slot = nullptr;
        if (r >= 0)
            r = sd_bus_call_async(bus_.get(), &slot, call, &Pending::onReply, &pending, kBudgetUsec);
        if (r >= 0)
            r = runUntil(bus_.get(), deadline_, [&pending] { return pending.reply != nullptr; });
        sd_bus_slot_unref(slot);
        MessagePtr answer(pending.reply);
        if (r < 0) {
            fail(MeteredRead::NO_VALUE, r == -ETIMEDOUT ? "no answer within a second"
                                                        : "the system bus failed: " + errnoText(r));
            bus_.reset();
            return false;
        }
        const sd_bus_error* error = sd_bus_message_get_error(answer.get());
        if (error != nullptr) {
            const bool absent = sd_bus_error_has_names(error, SD_BUS_ERROR_SERVICE_UNKNOWN,
                                                       SD_BUS_ERROR_NAME_HAS_NO_OWNER);
            fail(absent ? MeteredRead::ABSENT : MeteredRead::NO_VALUE,
                 std::string(property) + ": " + (error->message ? error->message : error->name));
            if (absent)
                bus_.reset();
            return false;
        }
        if (sd_bus_message_enter_container(answer.get(), 'v', type) <= 0) {
            fail(MeteredRead::NO_VALUE, std::string(property) + " is not of type " + type);
            return false;
        }
        *reply = std::move(answer);
        return true;
    }

    // An object path property; false (as get()) or "/" for none.
    bool path(const char* path, const char* interface, const char* property, std::string* out)
    {
        MessagePtr m;
        const char* value = nullptr;
        if (!get(path, interface, property, "o", &m) ||
            sd_bus_message_read_basic(m.get(), 'o', &value) <= 0)
            return false;
        *out = value;
        return true;
    }

    MeteredRead::Status status() const { return status_; }
    const std::string& why() const { return why_; }

private:
    struct Pending {
        sd_bus_message* reply = nullptr;
        static int onReply(sd_bus_message* m, void* self, sd_bus_error* /*error*/)
        {
            static_cast<Pending*>(self)->reply = sd_bus_message_ref(m);
            return 0;
        }
    };

    void fail(MeteredRead::Status status, const std::string& why)
    {
        status_ = status;
        why_ = why;
    }

    BusPtr bus_;
    const uint64_t deadline_;
    MeteredRead::Status status_ = MeteredRead::VALUE;
    std::string why_;
};

// The Wi-Fi name of active connection `path`, when it is a Wi-Fi one.
bool wifiNameOf(NmReader& nm, const std::string& path, std::string* ssid)
{
    MessagePtr m;
    const char* type = nullptr;
    if (!nm.get(path.c_str(), kActive, "Type", "s", &m) ||
        sd_bus_message_read_basic(m.get(), 's', &type) <= 0 || strcmp(type, "802-11-wireless") != 0)
        return false;
    std::string ap;
    if (!nm.path(path.c_str(), kActive, "SpecificObject", &ap) || ap == "/")
        return false;
    const void* bytes = nullptr;
    size_t length = 0;
    return nm.get(ap.c_str(), kAccessPoint, "Ssid", "ay", &m) &&
           sd_bus_message_read_array(m.get(), 'y', &bytes, &length) >= 0 &&
           ssidName(static_cast<const uint8_t*>(bytes), length, ssid);
}

// ---- The bus source ----

// The listener's matches: NetworkManager's property changes on its own
// objects, its coming and going, and logind's word on sleep.
const char* const kRules[] = {
    ("type='signal',sender='org.freedesktop.NetworkManager',"
     "interface='org.freedesktop.DBus.Properties',member='PropertiesChanged',"
     "path_namespace='/org/freedesktop/NetworkManager'"),
    ("type='signal',sender='org.freedesktop.DBus',path='/org/freedesktop/DBus',"
     "interface='org.freedesktop.DBus',member='NameOwnerChanged',"
     "arg0='org.freedesktop.NetworkManager'"),
    ("type='signal',sender='org.freedesktop.login1',path='/org/freedesktop/login1',"
     "interface='org.freedesktop.login1.Manager',member='PrepareForSleep'")};
constexpr int kRuleCount = sizeof kRules / sizeof kRules[0];

struct BusSource;
BusSource& busSource();

// One connection and the thread that listens on it. Made by the first
// registrant, under the source's lock; the host thread that makes it
// hands the connection to the thread, and the one that ends it takes it
// back after the join. Nothing else is shared: the stop request is an
// eventfd the thread polls beside the bus.
class BusListener {
public:
    // Throws JxException when the eventfd or the thread cannot be made.
    static std::unique_ptr<BusListener> begin()
    {
        std::unique_ptr<BusListener> l(new BusListener);
        l->stopFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (l->stopFd_ < 0)
            throw JxException(kListenerTag, std::string("Couldn't create an eventfd: ") + strerror(errno),
                              kFile, 1, -1);
        std::string why;
        if (!l->connect(&why)) {
            l->log.DebugLvl(kListenerTag, 2, "Couldn't listen on the system bus (%s); trying again every 5 s.",
                            why.c_str());
            l->retryAt_ = nowUsec() + kRetryUsec;
        }
        const int r = pthread_create(&l->thread_, nullptr, &BusListener::entry, l.get());
        if (r != 0)
            throw JxException(kListenerTag, std::string("Couldn't create the bus listener: ") + strerror(r),
                              kFile, 2, -1);
        l->running_ = true;
        return l;
    }

    // Ends the thread and closes the connection. Never called on the
    // listener's own thread: it runs no host code and drops no reference,
    // so no stop() can start there.
    ~BusListener()
    {
        if (running_) {
            const uint64_t one = 1;
            while (write(stopFd_, &one, sizeof one) < 0 && errno == EINTR) {
            }
            pthread_join(thread_, nullptr);
        }
        bus_.reset();
        if (stopFd_ >= 0)
            close(stopFd_);
    }

    BusListener(const BusListener&) = delete;
    BusListener& operator=(const BusListener&) = delete;

private:
    BusListener() : log(nullptr) {}

    static void* entry(void* self)
    {
        static_cast<BusListener*>(self)->run();
        return nullptr;
    }

    // Opens the connection and adds the matches, within the budget.
    bool connect(std::string* why)
    {
        sd_bus* bus = nullptr;
        int r = sd_bus_open_system(&bus);
        if (r < 0) {
            *why = errnoText(r);
            return false;
        }
        BusPtr owned(bus);
        const sd_bus_message_handler_t handlers[kRuleCount] = {&onProperties, &onOwner, &onSleep};
        installed_ = 0;
        installError_.clear();
        for (int i = 0; i < kRuleCount && r >= 0; ++i)
            r = sd_bus_add_match_async(bus, nullptr, kRules[i], handlers[i], &onInstalled, this);
        if (r >= 0)
            r = runUntil(bus, nowUsec() + kBudgetUsec,
                         [this] { return installed_ == kRuleCount || !installError_.empty(); });
        if (r < 0 || !installError_.empty()) {
            *why = r < 0 ? errnoText(r) : installError_;
            return false;
        }
        bus_ = std::move(owned);
        return true;
    }

    void run()
    {
        for (;;) {
            struct pollfd fds[2] = {{stopFd_, POLLIN, 0}, {-1, 0, 0}};
            int timeout = pollMs(retryAt_);
            if (bus_) {
                int r;
                while ((r = sd_bus_process(bus_.get(), nullptr)) > 0) {
                }
                wake();
                uint64_t until = UINT64_MAX;
                const int events = r < 0 ? r : sd_bus_get_events(bus_.get());
                if (events < 0 || sd_bus_get_timeout(bus_.get(), &until) < 0) {
                    lost(events);
                    continue;
                }
                fds[1].fd = sd_bus_get_fd(bus_.get());
                fds[1].events = static_cast<short>(events);
                timeout = pollMs(until);
            }
            if (poll(fds, 2, timeout) < 0 && errno != EINTR) {
                // Out of memory for a moment: back off rather than spin.
                const int error = errno;
                usleep(100000);
                if (bus_)
                    lost(-error);
                continue;
            }
            if (fds[0].revents != 0)
                return;
            if (!bus_ && nowUsec() >= retryAt_) {
                std::string why;
                if (connect(&why)) {
                    log.DebugLvl(kListenerTag, 2, "Listening on the system bus again.");
                    retryAt_ = UINT64_MAX;
                    pending_ = BUS_ALL;
                    wake();
                } else {
                    retryAt_ = nowUsec() + kRetryUsec;
                }
            }
        }
    }

    // The bus dropped us (`error`, negative): everyone looks (and finds
    // NetworkManager gone), and a new connection is tried every five
    // seconds.
    void lost(int error)
    {
        log.DebugLvl(kListenerTag, 2, "Lost the system bus (%s); trying again every 5 s.",
                     errnoText(error).c_str());
        bus_.reset();
        retryAt_ = nowUsec() + kRetryUsec;
        pending_ = BUS_ALL;
        wake();
    }

    // One pass per event seen since the last, over its registrants only.
    void wake();

    static int onInstalled(sd_bus_message* m, void* self, sd_bus_error* /*error*/)
    {
        BusListener* l = static_cast<BusListener*>(self);
        const sd_bus_error* e = sd_bus_message_get_error(m);
        if (e != nullptr)
            l->installError_ = e->message != nullptr ? e->message : e->name;
        else
            ++l->installed_;
        return 0;
    }

    static int onProperties(sd_bus_message* m, void* self, sd_bus_error* /*error*/)
    {
        const char* interface = nullptr;
        if (sd_bus_message_read_basic(m, 's', &interface) <= 0)
            return 0;
        unsigned events = 0;
        const char* name = nullptr;
        if (sd_bus_message_enter_container(m, 'a', "{sv}") > 0) {
            while (sd_bus_message_enter_container(m, 'e', "sv") > 0 &&
                   sd_bus_message_read_basic(m, 's', &name) > 0 && sd_bus_message_skip(m, "v") >= 0 &&
                   sd_bus_message_exit_container(m) >= 0)
                events |= propertyEvents(interface, name);
            sd_bus_message_exit_container(m);
        }
        // Invalidated properties: changed, value not sent.
        if (sd_bus_message_enter_container(m, 'a', "s") > 0)
            while (sd_bus_message_read_basic(m, 's', &name) > 0)
                events |= propertyEvents(interface, name);
        static_cast<BusListener*>(self)->pending_ |= events;
        return 0;
    }

    // NetworkManager came or went: whatever was read from it is void.
    static int onOwner(sd_bus_message* /*m*/, void* self, sd_bus_error* /*error*/)
    {
        static_cast<BusListener*>(self)->pending_ |= BUS_METERED | BUS_WIFI;
        return 0;
    }

    static int onSleep(sd_bus_message* m, void* self, sd_bus_error* /*error*/)
    {
        int sleeping = 1;
        if (sd_bus_message_read_basic(m, 'b', &sleeping) > 0 && !sleeping)
            static_cast<BusListener*>(self)->pending_ |= BUS_RESUME;
        return 0;
    }

    EvDebug log;
    BusPtr bus_;
    int stopFd_ = -1;
    pthread_t thread_{};
    bool running_ = false;
    // The listener's thread alone uses these once it runs.
    uint64_t retryAt_ = UINT64_MAX;
    unsigned pending_ = 0;
    int installed_ = 0;
    std::string installError_;
};

// Made on first use, never destroyed: a listener still running at exit
// and the stop() of a probe released during exit may reach them after
// static destructors have run.
struct BusSource {
    JxCriticalSection csec;
    JxCriticalSection eventCsec[3];
    WakeRegistry registries[3] = {WakeRegistry(eventCsec[0]), WakeRegistry(eventCsec[1]),
                                  WakeRegistry(eventCsec[2])};
    // Guarded by csec: the started registrants, and the listener while
    // there is one.
    std::set<const OscProbe*> users;
    std::unique_ptr<BusListener> listener;
};

BusSource& busSource()
{
    static BusSource& source = *new BusSource;
    return source;
}

void BusListener::wake()
{
    // A resume voids the reachable probes' last answers: the steady clock
    // stood still while the machine slept, so their age would not tell.
    if ((pending_ & BUS_RESUME) != 0)
        reachResumed();
    for (int i = 0; i < 3; ++i)
        if ((pending_ & (1u << i)) != 0)
            busSource().registries[i].pass();
    pending_ = 0;
}

} // namespace

MeteredRead readMetered(std::string* why)
{
    NmReader nm;
    MessagePtr m;
    MeteredRead read;
    if (nm.get(kManagerPath, kManager, "Metered", "u", &m) &&
        sd_bus_message_read_basic(m.get(), 'u', &read.value) > 0) {
        read.status = MeteredRead::VALUE;
        return read;
    }
    read.status = nm.status() == MeteredRead::ABSENT ? MeteredRead::ABSENT : MeteredRead::NO_VALUE;
    *why = nm.why();
    return read;
}

// The primary connection's Wi-Fi name when it is a Wi-Fi connection; else
// (no primary connection, or one over something else, such as a VPN) the
// first active Wi-Fi connection's, as NetworkManager lists them.
bool readWifiName(std::string* ssid)
{
    NmReader nm;
    std::vector<std::string> candidates;
    std::string primary;
    if (nm.path(kManagerPath, kManager, "PrimaryConnection", &primary) && primary != "/")
        candidates.push_back(primary);
    MessagePtr m;
    const char* path = nullptr;
    if (nm.get(kManagerPath, kManager, "ActiveConnections", "ao", &m) &&
        sd_bus_message_enter_container(m.get(), 'a', "o") > 0)
        while (candidates.size() < kMaxConnections && sd_bus_message_read_basic(m.get(), 'o', &path) > 0)
            if (path != primary)
                candidates.push_back(path);
    for (const std::string& c : candidates)
        if (wifiNameOf(nm, c, ssid))
            return true;
    if (nm.status() != MeteredRead::VALUE)
        EvDebug(nullptr).DebugLvl(kWifiTag, 2, "Couldn't learn the Wi-Fi name from NetworkManager: %s",
                                  nm.why().c_str());
    return false;
}

void startBusEvents(OscProbe* probe, JxMonitor* monitor, unsigned events)
{
    BusSource& s = busSource();
    JxCriticalSectionLock lock(&s.csec);
    for (int i = 0; i < 3; ++i)
        if ((events & (1u << i)) != 0)
            s.registries[i].start(probe, probe, nullptr, monitor, nullptr);
    s.users.insert(probe);
    if (!s.listener)
        s.listener = BusListener::begin();
}

void stopBusEvents(OscProbe* probe)
{
    BusSource& s = busSource();
    std::unique_ptr<BusListener> ending;
    {
        JxCriticalSectionLock lock(&s.csec);
        if (s.users.erase(probe) != 0 && s.users.empty())
            ending = std::move(s.listener);
    }
    // No lock of ours held: dropping the registration's reference may
    // destroy the probe, whose destructor stops it again.
    for (WakeRegistry& r : s.registries)
        r.stop(probe);
    // `ending` joins the thread here, with no lock held: its passes take
    // the registries' locks.
}

} // namespace oscprobe::internal
