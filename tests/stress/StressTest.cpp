// Stress and faults against the real kernel, each case in a child of its
// own. time() is defined here, so the CPU probe's calls (from the static
// archive) read the real clock plus an offset that a test may move.
#include <fcntl.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>

#include <chrono>
#include <filesystem>
#include <fstream>

#include "NetTestSupport.h"
#include "OscProbeReachable.h"

using namespace oscprobe_test;
using Clock = std::chrono::steady_clock;
using Seconds = std::chrono::duration<double>;

static std::atomic<long> clockOffset{0}, signalsCaught{0};

extern "C" time_t time(time_t* out) noexcept
{
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    const time_t value = now.tv_sec + clockOffset;
    return out != nullptr ? (*out = value) : value;
}

// Hosts start, probe, stop and release probes, half of them on one monitor,
// while addresses come and go and SIGUSR1 (no SA_RESTART: blocking calls see
// EINTR) hits every thread; meanwhile the CPU probe sleeps its two seconds,
// and once more after the clock went back an hour.
TEST(Stress, ChurnUnderSignalsLeavesNoThreadOrProbeBehindAndEverySleepWhole)
{
    OSCPROBE_REQUIRE_NAMESPACES();
    const char* env = getenv("OSCPROBE_CHURN_SECONDS");
    const int seconds = env != nullptr ? atoi(env) : 15;
    inChild(
        [seconds] {
            struct sigaction sa = {};
            sa.sa_handler = [](int) { ++signalsCaught; };
            TestLink link("sc0");
            ASSERT_TRUE(sigaction(SIGUSR1, &sa, nullptr) == 0 && link.ok);
            std::atomic<bool> stop{false};
            std::vector<std::thread> threads;
            threads.emplace_back([&] {
                for (; !stop; usleep(500))
                    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task"))
                        syscall(SYS_tgkill, getpid(), std::stol(task.path().filename()), SIGUSR1);
            });
            threads.emplace_back([] {
                // Begun half-way through a second, a sleep cut short would
                // end before the next but one.
                struct timespec now = {};
                for (; now.tv_nsec < 400000000 || now.tv_nsec > 600000000; usleep(1000))
                    clock_gettime(CLOCK_REALTIME, &now);
                for (const long offset : {0L, -3600L}) {
                    clockOffset = offset;
                    const Clock::time_point t0 = Clock::now();
                    EXPECT_TRUE(OscProbeCPU(100).probe());
                    EXPECT_GE(Seconds(Clock::now() - t0).count(), 1.9) << offset;
                }
            });
            JxMonitor shared;
            for (int id = 0; id < 6; ++id)
                threads.emplace_back([&, id] {
                    for (JxMonitor own, *m = id % 2 != 0 ? &own : &shared; !stop;) {
                        SP<OscProbeSubNet> p = subnetProbe("10.77.0.0/16");
                        EXPECT_TRUE(p->start(m) && (id % 3 != 0 || p->start(m)));
                        m->enter(), m->wait(3), m->leave();
                        p->probe(), p->stop();
                        EXPECT_EQ(p->refCount(), 1) << "left registered";
                    }
                });
            for (const auto end = Clock::now() + std::chrono::seconds(seconds); Clock::now() < end;)
                sh("(for i in $(seq 100); do echo addr add 10.77.0.$i/32 dev sc0; echo addr add "
                   "fd77::$i/128 dev sc0 nodad; echo addr del 10.77.0.$((101 - i))/32 dev sc0; "
                   "done) | ip -force -batch - 2>/dev/null; ip -6 addr flush dev sc0 scope global");
            stop = true;
            for (std::thread& t : threads) // a deadlock runs into the child's time limit
                t.join();
            EXPECT_GT(signalsCaught.load(), 100);
            EXPECT_TRUE(subnetProbe("10.79.0.0/16")->start(nullptr)) << "the watcher ended";
        },
        seconds + 60);
}

// Every probe, with 0 to 3 descriptors to spare or plenty, or with a /proc
// whose files none can use, answers, gives its default or throws
// JxException, and keeps no descriptor.
TEST(Stress, EveryFailurePathLeavesTheDescriptorCountAsItWas)
{
    OSCPROBE_REQUIRE_NAMESPACES();
    const std::function<void()> asks[] = {
        [] { OscProbeAC().probe(); }, [] { OscProbeHM().probe(); },
        [] { OscProbeDiskSpace({"/nonexistent", "/"}, 101).probe(); },
        [] { subnetProbe("10.83.0.0/16")->probe(); },
        [] { long long busy, idle; OscProbeCPU(100).getCurrentCPU(&busy, &idle); },
        [] { OscProbeReachable({"127.0.0.1:1", "[::1]:1", "10.255.0.1:1"}, 300).probe(); }};
    const auto askAll = [&asks] {
        for (const auto& ask : asks)
            try { ask(); } catch (const JxException&) {} // an answer too
    };
    const auto openDescriptors = [] { // counted without opening one
        int n = 0;
        for (int fd = 0; fd < 4096; ++fd)
            n += fcntl(fd, F_GETFD) != -1;
        return n;
    };
    for (int spare : {0, 1, 2, 3, 99, -1})
        inChild([&] {
            isolate({"/tmp"});
            sh("ip link set lo up"); // refused connections, not unreachable ones
            put("/tmp/s.ini", "[Runtime]\nnHMONLINE=1\n"); // a settings file, a directory, nothing
            const std::string settings[] = {"/tmp/s.ini", "/tmp", "/tmp/none"};
            if (spare < 0) { // a /proc of unusable files
                ASSERT_EQ(mount("tmpfs", "/proc", "tmpfs", 0, nullptr), 0);
                for (const char* file : {"/proc/stat", "/proc/net/if_inet6"})
                    put(file, "intr 1 2 3\n");
            }
            // Each probe (and the log handler) once with descriptors to spare:
            // UBSan's vptr check probes memory through a pipe the first time
            // it meets a type, and without a descriptor it would report a
            // false "invalid vptr".
            captureLog(0);
            askAll();
            const int before = openDescriptors();
            struct rlimit limit; // leaving `spare` descriptors free; it dies with the child
            getrlimit(RLIMIT_NOFILE, &limit);
            int fd = 0;
            for (int left = spare < 0 ? 99 : spare; fcntl(fd, F_GETFD) != -1 || left-- > 0;)
                ++fd;
            limit.rlim_cur = rlim_t(fd);
            EXPECT_EQ(setrlimit(RLIMIT_NOFILE, &limit), 0);
            for (const std::string& path : settings) {
                JXPlatformInfo::setSettingsFile(path);
                askAll();
            }
            // A listing takes one descriptor at a time.
            if (spare == 1) {
                EXPECT_NO_THROW(OscProbeSubNet::getIFList());
            }
            EXPECT_EQ(openDescriptors(), before);
            // Without one a wake source is made but cannot listen: it says so,
            // wakes its monitors with a last pass (counted like any other) and
            // refuses later starts.
            if (spare != 0) return;
            SP<OscProbeSubNet> p = subnetProbe("10.99.0.0/16");
            const std::pair<std::function<bool(JxMonitor*)>, std::string> sources[] = {
                {[&](JxMonitor* m) { return p->start(m); },
                 "E OscProbeSubNet::thread_func: Couldn't create netlink routing socket: Too many open files"},
                {OscProbeWake::watchPower, "E OscProbe::powerListener: Couldn't create uevent socket: Too many open files"}};
            takeLog();
            JxMonitor m;
            for (const auto& [start, line] : sources) {
                const unsigned long long passes = OscProbeWake::generation();
                ASSERT_TRUE(start(&m));
                m.enter();
                EXPECT_TRUE(OscProbeWake::generation() != passes || m.wait(5000));
                m.leave();
                EXPECT_EQ(passes + 1, OscProbeWake::generation());
                EXPECT_FALSE(start(&m) || start(nullptr));
                EXPECT_EQ(std::vector<std::string>{line}, takeLog());
            }
        });
}
