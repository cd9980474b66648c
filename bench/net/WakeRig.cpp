#include "WakeRig.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <set>

#include "JxMonitorLock.h"
#include "SideBySide.h"

namespace oscprobe_bench {

namespace {

int watcherTid = 0;

std::set<int> tasks()
{
    std::set<int> ids;
    if (DIR* d = opendir("/proc/self/task")) {
        while (struct dirent* e = readdir(d))
            if (e->d_name[0] != '.')
                ids.insert(atoi(e->d_name));
        closedir(d);
    }
    return ids;
}

} // namespace

WakeRig::WakeRig()
{
    probe_ = SP<OscProbeSubNet>(new OscProbeSubNet(
        std::list<std::string>{"192.0.2.0/24", "198.51.100.0/24", "203.0.113.0/24",
                               "192.88.99.0/24", "100.127.0.0/16", "169.254.0.0/16",
                               "2001:db8:1::/48", "2001:db8:2::/48", "fd00:1::/64",
                               "fd00:2::/64"}));
    const std::set<int> before = tasks();
    if (!probe_->start(&monitor_)) {
        error_ = "the watcher has failed";
        return;
    }
    if (watcherTid == 0)
        for (int id : tasks())
            if (before.count(id) == 0)
                watcherTid = id;

    bareSocket_ = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
    struct sockaddr_nl groups;
    memset(&groups, 0, sizeof groups);
    groups.nl_family = AF_NETLINK;
    groups.nl_groups = RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR;
    // A timeout only so that the thread can be told to end.
    struct timeval tick = {0, 100000};
    if (bareSocket_ < 0 ||
        bind(bareSocket_, reinterpret_cast<struct sockaddr*>(&groups), sizeof groups) != 0 ||
        setsockopt(bareSocket_, SOL_SOCKET, SO_RCVTIMEO, &tick, sizeof tick) != 0) {
        error_ = std::string("reference socket: ") + strerror(errno);
        return;
    }
    hostThread_ = std::thread(&WakeRig::host, this);
    bareThread_ = std::thread(&WakeRig::bare, this);
    while (!hostStarted_)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    untilHostWaits();
}

WakeRig::~WakeRig()
{
    quit_ = true;
    if (hostThread_.joinable())
        hostThread_.join();
    if (bareThread_.joinable())
        bareThread_.join();
    if (bareSocket_ >= 0)
        close(bareSocket_);
    probe_->stop();
}

void WakeRig::untilHostWaits()
{
    // The host holds its monitor except inside wait().
    JxMonitorLock lock(&monitor_);
}

void WakeRig::host()
{
    JxMonitorLock lock(&monitor_);
    hostStarted_ = true;
    while (!quit_) {
        if (monitor_.wait(100)) {
            lastHostWake_ = nowNs();
            ++hostWakes_;
        }
    }
}

void WakeRig::bare()
{
    alignas(struct nlmsghdr) char buffer[4096];
    while (!quit_) {
        ssize_t got = recv(bareSocket_, buffer, sizeof buffer, 0);
        if (got < 0)
            continue; // the tick, an interruption or an overflow
        const size_t length = static_cast<size_t>(got);
        for (size_t offset = 0; offset + sizeof(struct nlmsghdr) <= length;) {
            const struct nlmsghdr* h = reinterpret_cast<const struct nlmsghdr*>(buffer + offset);
            if (h->nlmsg_len < sizeof(struct nlmsghdr) || h->nlmsg_len > length - offset)
                break;
            if (h->nlmsg_type == RTM_NEWADDR) {
                lastBareWake_ = nowNs();
                ++bareWakes_;
                break;
            }
            offset += NLMSG_ALIGN(h->nlmsg_len);
        }
    }
}

int64_t WakeRig::watcherCpuNs()
{
    if (watcherTid == 0)
        return -1;
    // The CPU clock of one thread of this process, as the kernel encodes it
    // (per-thread, scheduler time).
    const clockid_t clock = static_cast<clockid_t>((~static_cast<unsigned>(watcherTid) << 3) | 6);
    struct timespec ts;
    if (clock_gettime(clock, &ts) != 0)
        return -1;
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

bool WakeRig::untilWatcherIdle(int quietMs, int boundMs)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(boundMs);
    int64_t last = watcherCpuNs();
    if (last < 0)
        return false;
    auto quietSince = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        int64_t now = watcherCpuNs();
        if (now != last) {
            last = now;
            quietSince = std::chrono::steady_clock::now();
        } else if (std::chrono::steady_clock::now() - quietSince >
                   std::chrono::milliseconds(quietMs)) {
            return true;
        }
    }
    return false;
}

bool WakeRig::untilWatcherReceives(int boundMs)
{
    if (watcherTid == 0)
        return false;
    // The kernel shows a blocked thread's system call and its arguments
    // here, and "running" while it runs.
    const std::string path = "/proc/self/task/" + std::to_string(watcherTid) + "/syscall";
    const std::string receiving = std::to_string(SYS_recvmsg) + " ";
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(boundMs);
    while (std::chrono::steady_clock::now() < deadline) {
        char text[32] = {};
        const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            return false;
        const ssize_t got = read(fd, text, sizeof text - 1);
        close(fd);
        if (got > 0 && receiving.compare(0, receiving.size(), text, receiving.size()) == 0)
            return true;
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    return false;
}

} // namespace oscprobe_bench
