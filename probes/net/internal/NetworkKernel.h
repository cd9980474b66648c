// The network probes' side of the kernel: the readers of the routing and
// neighbour tables, and the network source of the wake mechanism
// (probes/internal/WakeSource.h), whose registry lives here and whose
// passes go through liboscprobe's one count. Not exported.
//
// Threading: any host thread. The start and stop calls take the network
// registry's lock, which the listener holds while it broadcasts, so never
// call them while holding a registered monitor.
#ifndef OSCPROBE_NET_INTERNAL_NETWORKKERNEL_H
#define OSCPROBE_NET_INTERNAL_NETWORKKERNEL_H

#include <string>
#include <vector>

#include "EvDebug.h"
#include "JxMonitor.h"
#include "internal/NetworkInternal.h"

class OscProbe;

namespace oscprobe::internal {

// The default gateways of the main table, lowest metric first, each with
// its hardware address when the kernel knows it. Over a NETLINK_ROUTE
// socket of its own; each reply waited for two seconds at most. Throws
// JxException when the socket fails or the kernel does not answer.
std::vector<GatewaySeen> readGateways();

// The Wi-Fi name of the connection in use, from NetworkManager (the
// kernel's tables do not hold it; internal/Bus_linux.cpp). False: not on
// Wi-Fi, or unknown (a fault of the bus is said in one level-2 line).
// Blocks on bus calls, one second at most together.
bool readWifiName(std::string* ssid);

// Registers `probe` (holding a reference) to be woken on `monitor`, or
// moves it there, and starts the listener on first use. False, said at
// level 2 on `debug`, once the listener has failed in this process.
// Throws JxException when the thread cannot be created.
bool startNetworkEvents(OscProbe* probe, JxMonitor* monitor, EvDebug& debug);
// Withdraws the registration; harmless without one.
void stopNetworkEvents(OscProbe* probe);

} // namespace oscprobe::internal

#endif
