// Power events: the uevent source of the wake mechanism
// (internal/WakeSource.h). One detached listener per process on a kernel
// uevent socket wakes every registered monitor (a started battery probe's,
// or one a host watches through OscProbeWake) when the kernel announces a
// power-supply change: a charger plugged in or pulled, a battery changing
// state. An event is only a hint to look again: the answer always comes
// from the files probe() reads, so a message from any sender costs a host
// at most one evaluation.
//
// Lock order: power_csec, then at most one host monitor, as for the address
// watcher. The listener holds no lock while it waits.
#include "internal/OscProbePowerEvents.h"

#include <linux/netlink.h>
#include <sys/socket.h>

#include "JxCriticalSection.h"
#include "OscProbe.h"
#include "internal/PowerSupply.h"
#include "internal/WakeSource.h"

namespace {

using oscprobe::internal::NetlinkListener;
using oscprobe::internal::WakeRegistry;

constexpr const char* kListenerTag = "OscProbe::powerListener";

// Kernel uevents are multicast to group 1; udev's own re-broadcasts go to
// another, so each change arrives once. A uevent is at most a few
// kilobytes of "KEY=value" text. The errors' line identifiers 1 to 3 name
// the failing call (socket, bind, receive).
constexpr NetlinkListener::Spec kUeventSpec = {
    SOCK_DGRAM, NETLINK_KOBJECT_UEVENT, 1, 8192, kListenerTag, "OscProbePowerEvents_linux",
    "Couldn't create uevent socket: ", 1,
    "Couldn't bind uevent socket: ", 2,
    "Failed to receive power events from netlink: ", 3,
    "Lost power events from netlink: "};

WakeRegistry& powerRegistry()
{
    static JxCriticalSection& power_csec = *new JxCriticalSection;
    static WakeRegistry& power_list = *new WakeRegistry(power_csec);
    return power_list;
}

void* listen(void* /*arg*/)
{
    NetlinkListener listener(powerRegistry(), kUeventSpec);
    NetlinkListener::Source source;
    source.interesting = [](const unsigned char* data, size_t length) {
        return oscprobe::internal::isPowerSupplyUevent(reinterpret_cast<const char*>(data), length);
    };
    // A plug-in announces the mains supply and every battery at once; the
    // drain before this covers them all with one pass.
    source.batch = [&listener] {
        listener.log.DebugLvl(kListenerTag, 2, "Power supply changed.");
        listener.pass();
    };
    listener.run(source);
    return nullptr;
}

} // namespace

namespace oscprobe::internal {

bool startPowerEvents(OscProbe* probe, JxMonitor* monitor, EvDebug& debug)
{
    if (powerRegistry().start(probe, probe, nullptr, monitor, &listen))
        return true;
    debug.DebugLvl(kListenerTag, 2, "Power events failed in this process; the host must poll.");
    return false;
}

void stopPowerEvents(OscProbe* probe) { powerRegistry().stop(probe); }

bool watchPowerEvents(JxMonitor* monitor)
{
    return powerRegistry().start(monitor, nullptr, nullptr, monitor, &listen);
}

void unwatchPowerEvents(JxMonitor* monitor) { powerRegistry().stop(monitor); }

} // namespace oscprobe::internal
