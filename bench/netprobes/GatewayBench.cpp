// The known-network probe's wake path against the kernel, in network
// namespaces of this process's own (needs root):
// - BM_GatewayWakeLatency: the default gateway's hardware address changes
//   (a neighbour entry replaced over rtnetlink); a host waiting on a
//   started OscProbeNetwork's monitor against a bare thread blocked in recv
//   on an rtnetlink neighbour socket. Target: the host's median within
//   100 µs of the bare listener's.
// - BM_QuietMinute: the host's wake-ups over a minute in which nothing that
//   matters changes, while the gateway's entry goes between REACHABLE and
//   STALE every second, as a busy link's does. Target: none.
#include <benchmark/benchmark.h>
#include <arpa/inet.h>
#include <errno.h>
#include <linux/neighbour.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <sched.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <list>
#include <string>
#include <thread>
#include <vector>

#include "BenchMain.h"
#include "JxMonitor.h"
#include "JxMonitorLock.h"
#include "OscProbeNetwork.h"
#include "OscProbeWake.h"
#include "SP.h"
#include "SideBySide.h"

namespace {

using namespace oscprobe_bench;

// A link with a default route through 10.9.0.1; "" or what failed.
std::string enterNetwork()
{
    if (unshare(CLONE_NEWNET) != 0)
        return std::string("unshare: ") + strerror(errno);
    const char* setup = "ip link add oscb0 type veth peer name oscb1 && ip link set oscb0 up && "
                        "ip link set oscb1 up && ip addr add 10.9.0.2/24 dev oscb0 && "
                        "ip route add default via 10.9.0.1 dev oscb0";
    return system(setup) == 0 ? std::string() : "ip could not lay out the link";
}

// Sets the gateway's neighbour entry: `mac` its last octet, `state` its NUD.
bool setGateway(int sock, unsigned char last, uint16_t state)
{
    struct {
        nlmsghdr header;
        ndmsg neighbour;
        char attributes[64];
    } request = {};
    request.header.nlmsg_type = RTM_NEWNEIGH;
    request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_CREATE | NLM_F_REPLACE;
    request.neighbour.ndm_family = AF_INET;
    request.neighbour.ndm_ifindex = static_cast<int>(if_nametoindex("oscb0"));
    request.neighbour.ndm_state = state;
    size_t length = NLMSG_LENGTH(sizeof request.neighbour);
    auto add = [&](uint16_t type, const void* data, size_t size) {
        auto* attribute = reinterpret_cast<rtattr*>(reinterpret_cast<char*>(&request) + length);
        attribute->rta_type = type;
        attribute->rta_len = static_cast<uint16_t>(RTA_LENGTH(size));
        memcpy(RTA_DATA(attribute), data, size);
        length += RTA_SPACE(size);
    };
    in_addr gateway;
    inet_pton(AF_INET, "10.9.0.1", &gateway);
    const unsigned char mac[6] = {0x02, 0, 0, 0, 0, last};
    add(NDA_DST, &gateway, sizeof gateway);
    add(NDA_LLADDR, mac, sizeof mac);
    request.header.nlmsg_len = static_cast<uint32_t>(length);
    return send(sock, &request, length, 0) == static_cast<ssize_t>(length);
}

int routeSocket(uint32_t groups)
{
    const int sock = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
    sockaddr_nl address = {};
    address.nl_family = AF_NETLINK;
    address.nl_groups = groups;
    struct timeval tick = {0, 100000}; // only so that the listener can end
    if (sock < 0 || bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &tick, sizeof tick) != 0)
        return -1;
    return sock;
}

// A host blocked on the monitor of a started network probe.
struct Host {
    JxMonitor monitor;
    SP<OscProbeNetwork> probe{new OscProbeNetwork(std::list<std::string>{"02:00:00:00:00:01"})};
    std::atomic<bool> quit{false}, waiting{false};
    std::atomic<int64_t> woken{0};
    std::atomic<int> wakes{0};
    std::thread thread;

    bool start()
    {
        if (!probe->start(&monitor))
            return false;
        thread = std::thread([this] {
            JxMonitorLock lock(&monitor);
            waiting = true;
            while (!quit)
                if (monitor.wait(100)) {
                    woken = nowNs();
                    ++wakes;
                }
        });
        while (!waiting)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return true;
    }
    ~Host()
    {
        quit = true;
        if (thread.joinable())
            thread.join();
        probe->stop();
    }
};

void BM_GatewayWakeLatency(benchmark::State& state)
{
    static const std::string why = enterNetwork();
    const int sender = routeSocket(0), bare = routeSocket(1u << (RTNLGRP_NEIGH - 1));
    Host host;
    if (!why.empty() || sender < 0 || bare < 0 || !setGateway(sender, 1, NUD_PERMANENT) ||
        !host.start()) {
        state.SkipWithError(why.empty() ? "no rtnetlink socket or listener" : why.c_str());
        return;
    }
    std::atomic<bool> quit{false};
    std::atomic<int64_t> bareWake{0};
    std::thread listener([&] {
        char buffer[8192];
        while (!quit)
            if (recv(bare, buffer, sizeof buffer, 0) > 0)
                bareWake = nowNs();
    });
    std::vector<int64_t> lib, ref;
    unsigned char last = 1;
    for (auto _ : state) {
        last = last == 1 ? 2 : 1;
        { JxMonitorLock wait(&host.monitor); } // the host is back in its wait
        std::this_thread::sleep_for(std::chrono::milliseconds(1)); // the bare one too
        host.woken = 0;
        bareWake = 0;
        const int64_t sent = nowNs();
        if (!setGateway(sender, last, NUD_PERMANENT)) {
            state.SkipWithError(strerror(errno));
            break;
        }
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while ((host.woken == 0 || bareWake == 0) && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::microseconds(50));
        if (host.woken == 0 || bareWake == 0) {
            state.SkipWithError("no wake-up for a gateway change");
            break;
        }
        lib.push_back(host.woken - sent);
        ref.push_back(bareWake - sent);
        state.SetIterationTime(static_cast<double>(lib.back()) * 1e-9);
    }
    quit = true;
    listener.join();
    close(sender);
    close(bare);
    if (lib.empty())
        return;
    const double libMedian = median(lib), refMedian = median(ref);
    state.counters["lib_med_us"] = libMedian / 1e3;
    state.counters["lib_p99_us"] = percentile(lib, 0.99) / 1e3;
    state.counters["ref_med_us"] = refMedian / 1e3;
    state.counters["ref_p99_us"] = percentile(ref, 0.99) / 1e3;
    state.counters["med_minus_ref_us"] = (libMedian - refMedian) / 1e3;
}
BENCHMARK(BM_GatewayWakeLatency)->UseManualTime()->Iterations(500);

void BM_QuietMinute(benchmark::State& state)
{
    static const std::string why = enterNetwork();
    const int sender = routeSocket(0);
    Host host;
    if (!why.empty() || sender < 0 || !setGateway(sender, 1, NUD_REACHABLE) || !host.start()) {
        state.SkipWithError(why.empty() ? "no rtnetlink socket or listener" : why.c_str());
        return;
    }
    const unsigned long long before = OscProbeWake::generation();
    int flaps = 0;
    for (auto _ : state) {
        host.wakes = 0;
        for (int second = 0; second < 60; ++second) {
            setGateway(sender, 1, second % 2 == 0 ? NUD_STALE : NUD_REACHABLE);
            ++flaps;
            std::this_thread::sleep_for(std::chrono::seconds(1));
        }
    }
    close(sender);
    state.counters["state_changes"] = flaps;
    state.counters["host_wakes"] = host.wakes.load();
    state.counters["passes"] = static_cast<double>(OscProbeWake::generation() - before);
}
BENCHMARK(BM_QuietMinute)->Iterations(1)->Unit(benchmark::kSecond);

} // namespace

int main(int argc, char** argv) { return oscprobe_bench::runBenchmarks(argc, argv); }
