// One OscProbeReachable check against what it stands in for: a bare
// non-blocking connect, poll and close to the same loopback listener, timed
// alternately in the same loop (see SideBySide.h). Each check is made to
// happen by counting a change first (what a route change or a resume does),
// so the probe's one-second reuse of its answer is not what is measured.
//
// Runs in a network namespace of its own (lo only), where a thread accepts
// and closes every connection so that the listener's queue never fills.
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <thread>

#include "BenchMain.h"
#include "OscProbeReachable.h"
#include "SideBySide.h"
#include "internal/ReachableKernel.h"

namespace {

sockaddr_in listenerAddress;

void bareConnect()
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP);
    int error = connect(fd, reinterpret_cast<const sockaddr*>(&listenerAddress), sizeof listenerAddress);
    if (error < 0 && errno == EINPROGRESS) {
        pollfd p = {fd, POLLOUT, 0};
        poll(&p, 1, 3000);
        socklen_t length = sizeof error;
        getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length);
    }
    close(fd);
    benchmark::DoNotOptimize(error);
}

void BM_ReachableCheck(benchmark::State& state)
{
    const std::string target = "127.0.0.1:" + std::to_string(ntohs(listenerAddress.sin_port));
    OscProbeReachable probe({target});
    bool reached = true;
    oscprobe_bench::sideBySide(state, [&] {
        oscprobe::internal::reachResumed();
        reached = probe.probe() && reached;
    }, bareConnect);
    if (!reached)
        state.SkipWithError("the loopback listener did not answer");
}
// Each iteration leaves two connections in TIME_WAIT; a fixed count stays
// well inside the namespace's ephemeral ports.
BENCHMARK(BM_ReachableCheck)->UseManualTime()->Iterations(4000)->Repetitions(3)
    ->ReportAggregatesOnly(true);

} // namespace

int main(int argc, char** argv)
{
    if (unshare(CLONE_NEWNET) != 0 || system("ip link set lo up") != 0) {
        fprintf(stderr, "bench_netprobes: a network namespace with lo up: %s (run as root)\n",
                strerror(errno));
        return 1;
    }
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    listenerAddress.sin_family = AF_INET;
    listenerAddress.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof listenerAddress;
    if (bind(listener, reinterpret_cast<sockaddr*>(&listenerAddress), length) != 0 ||
        listen(listener, 1024) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&listenerAddress), &length) != 0) {
        perror("bench_netprobes: listener");
        return 1;
    }
    std::thread([listener] {
        for (;;) {
            const int c = accept(listener, nullptr, nullptr);
            if (c >= 0)
                close(c);
        }
    }).detach();
    return oscprobe_bench::runBenchmarks(argc, argv);
}
