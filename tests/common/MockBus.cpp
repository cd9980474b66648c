#include "MockBus.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdarg.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace oscprobe_test {

namespace {

const char* const kServices[2] = {"org.freedesktop.NetworkManager", "org.freedesktop.login1"};
const char* const kTemplates[2] = {"networkmanager", "logind"};

int slot(const std::string& service) { return service == kServices[0] ? 0 : 1; }

// Quiet: the daemon complains about limits it may not raise.
pid_t spawn(const char* const argv[], int outFd)
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    if (outFd >= 0)
        posix_spawn_file_actions_adddup2(&actions, outFd, 3);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, const_cast<char* const*>(argv), environ) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

void reap(pid_t* pid)
{
    if (*pid > 0) {
        ::kill(*pid, SIGKILL);
        waitpid(*pid, nullptr, 0);
    }
    *pid = -1;
}

} // namespace

MockBus::MockBus()
{
    char dir[] = "/tmp/oscprobe-bus-XXXXXX";
    const char* python[] = {"/usr/bin/python3", "-c", "import dbusmock", nullptr};
    pid_t probe = access("/usr/bin/dbus-daemon", X_OK) == 0 ? spawn(python, -1) : -1;
    int status = -1;
    if (probe < 0 || waitpid(probe, &status, 0) != probe || status != 0 || mkdtemp(dir) == nullptr) {
        why_ = "no dbus-daemon or python3-dbusmock";
        return;
    }
    dir_ = dir;
    // The daemon says its address on descriptor 3 once it listens.
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        why_ = "no pipe";
        return;
    }
    const std::string address = "--address=unix:path=" + dir_ + "/bus";
    const char* daemon[] = {"/usr/bin/dbus-daemon", "--session", "--nofork", "--nosyslog",
                            address.c_str(), "--print-address=3", nullptr};
    daemon_ = spawn(daemon, fds[1]);
    close(fds[1]);
    char line[512] = {};
    struct pollfd ready = {fds[0], POLLIN, 0};
    const ssize_t got = daemon_ > 0 && poll(&ready, 1, 10000) == 1 ? read(fds[0], line, sizeof line - 1) : -1;
    close(fds[0]);
    if (got <= 0) {
        why_ = "dbus-daemon did not start";
        return;
    }
    std::string printed(line, static_cast<size_t>(got));
    printed.erase(printed.find_last_not_of('\n') + 1);
    const char* old = getenv("DBUS_SYSTEM_BUS_ADDRESS");
    hadAddress_ = old != nullptr;
    oldAddress_ = old != nullptr ? old : "";
    setenv("DBUS_SYSTEM_BUS_ADDRESS", printed.c_str(), 1);
    if (sd_bus_open_system(&client_) < 0) {
        why_ = "cannot connect to the private bus";
        return;
    }
    sd_bus_set_method_call_timeout(client_, 10000000);
    start(kServices[0]);
}

MockBus::~MockBus()
{
    for (pid_t& pid : mocks_)
        reap(&pid);
    sd_bus_close_unref(client_);
    reap(&daemon_);
    if (!dir_.empty()) {
        unlink((dir_ + "/bus").c_str());
        rmdir(dir_.c_str());
    }
    if (hadAddress_)
        setenv("DBUS_SYSTEM_BUS_ADDRESS", oldAddress_.c_str(), 1);
    else
        unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
}

bool MockBus::awaitName(const std::string& service, bool owned)
{
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < until) {
        sd_bus_message* reply = nullptr;
        int has = 0;
        if (sd_bus_call_method(client_, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                               "org.freedesktop.DBus", "NameHasOwner", nullptr, &reply, "s",
                               service.c_str()) >= 0)
            sd_bus_message_read(reply, "b", &has);
        sd_bus_message_unref(reply);
        if ((has != 0) == owned)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

bool MockBus::start(const std::string& service)
{
    const int i = slot(service);
    const char* argv[] = {"/usr/bin/python3", "-m", "dbusmock", "--system", "--template",
                          kTemplates[i], nullptr};
    mocks_[i] = spawn(argv, -1);
    if (mocks_[i] < 0 || !awaitName(service, true))
        why_ = "the mock of " + service + " did not come up";
    return why_.empty();
}

void MockBus::kill(const std::string& service)
{
    reap(&mocks_[slot(service)]);
    awaitName(service, false);
}

void MockBus::killDaemon() { reap(&daemon_); }

std::string MockBus::mock(const char* service, const char* path, const char* member,
                          const char* types, ...)
{
    sd_bus_message* call = nullptr;
    sd_bus_message* reply = nullptr;
    sd_bus_error error = SD_BUS_ERROR_NULL;
    va_list ap;
    va_start(ap, types);
    int r = sd_bus_message_new_method_call(client_, &call, service, path, "org.freedesktop.DBus.Mock",
                                           member);
    if (r >= 0)
        r = sd_bus_message_appendv(call, types, ap);
    va_end(ap);
    if (r >= 0)
        r = sd_bus_call(client_, call, 0, &error, &reply);
    const char* text = nullptr;
    const std::string result =
        r >= 0 && sd_bus_message_peek_type(reply, nullptr, nullptr) > 0 &&
                sd_bus_message_read_basic(reply, 's', &text) > 0
            ? text
            : "";
    const std::string failure = std::string(member) + ": " + (error.message ? error.message : "failed");
    sd_bus_error_free(&error);
    sd_bus_message_unref(reply);
    sd_bus_message_unref(call);
    if (r < 0)
        throw std::runtime_error(failure);
    return result;
}

} // namespace oscprobe_test
