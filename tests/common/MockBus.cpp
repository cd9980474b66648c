#include "MockBus.h"

#include <fcntl.h>
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
#include <vector>

extern char** environ;

namespace oscprobe_test {

namespace {

const char* const kServices[2] = {"org.freedesktop.NetworkManager", "org.freedesktop.login1"};
const char* const kTemplates[2] = {"networkmanager", "logind"};

int slot(const std::string& service) { return service == kServices[0] ? 0 : 1; }

// Quiet: the daemon complains about limits it may not raise, the mocks log calls.
pid_t spawn(std::initializer_list<const char*> args)
{
    std::vector<const char*> argv(args);
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    for (int fd = 0; fd < 3; ++fd)
        posix_spawn_file_actions_addopen(&actions, fd, "/dev/null", O_RDWR, 0);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, const_cast<char* const*>(argv.data()), environ) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

void reap(pid_t* pid)
{
    if (*pid > 0 && ::kill(*pid, SIGKILL) == 0)
        waitpid(*pid, nullptr, 0);
    *pid = -1;
}

// Tries `attempt` every 20 ms for ten seconds at most.
template <class F> bool within10s(F attempt)
{
    for (int i = 0; i < 500; ++i, std::this_thread::sleep_for(std::chrono::milliseconds(20)))
        if (attempt())
            return true;
    return false;
}

} // namespace

MockBus::MockBus()
{
    char dir[] = "/tmp/oscprobe-bus-XXXXXX";
    int status = -1;
    const pid_t python = access("/usr/bin/dbus-daemon", X_OK) == 0 ? spawn({"/usr/bin/python3", "-c", "import dbusmock"}) : -1;
    if (python < 0 || waitpid(python, &status, 0) != python || status != 0 || mkdtemp(dir) == nullptr) {
        why_ = "no dbus-daemon or python3-dbusmock";
        return;
    }
    dir_ = dir;
    const std::string address = "unix:path=" + dir_ + "/bus", option = "--address=" + address;
    daemon_ = spawn({"/usr/bin/dbus-daemon", "--session", "--nofork", "--nosyslog", option.c_str()});
    const char* old = getenv("DBUS_SYSTEM_BUS_ADDRESS");
    hadAddress_ = old != nullptr;
    oldAddress_ = old != nullptr ? old : "";
    setenv("DBUS_SYSTEM_BUS_ADDRESS", address.c_str(), 1);
    if (daemon_ < 0 || !within10s([this] { return sd_bus_open_system(&client_) >= 0; }))
        why_ = "dbus-daemon did not start";
    else
        start(kServices[0]);
}

MockBus::~MockBus()
{
    for (pid_t& pid : mocks_)
        reap(&pid);
    sd_bus_close_unref(client_);
    reap(&daemon_);
    unlink((dir_ + "/bus").c_str());
    rmdir(dir_.c_str());
    hadAddress_ ? setenv("DBUS_SYSTEM_BUS_ADDRESS", oldAddress_.c_str(), 1) : unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
}

bool MockBus::awaitName(const std::string& service, bool owned)
{
    return within10s([&] {
        sd_bus_message* reply = nullptr;
        int has = 0;
        if (sd_bus_call_method(client_, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                               "NameHasOwner", nullptr, &reply, "s", service.c_str()) >= 0)
            sd_bus_message_read(reply, "b", &has);
        sd_bus_message_unref(reply);
        return (has != 0) == owned;
    });
}

bool MockBus::start(const std::string& service)
{
    const int i = slot(service);
    mocks_[i] = spawn({"/usr/bin/python3", "-m", "dbusmock", "--system", "--template", kTemplates[i]});
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

std::string MockBus::mock(const char* service, const char* path, const char* member, const char* types, ...)
{
    sd_bus_message* reply = nullptr;
    sd_bus_error error{nullptr, nullptr, 0};
    va_list ap;
    va_start(ap, types);
    const int r = sd_bus_call_methodv(client_, service, path, "org.freedesktop.DBus.Mock", member, &error, &reply, types, ap);
    va_end(ap);
    const char* text = nullptr;
    const std::string result = r >= 0 && sd_bus_message_read_basic(reply, 's', &text) > 0 ? text : "";
    const std::string failure = std::string(member) + ": " + (error.message ? error.message : "failed");
    sd_bus_error_free(&error);
    sd_bus_message_unref(reply);
    if (r < 0)
        throw std::runtime_error(failure);
    return result;
}

} // namespace oscprobe_test
