// A system bus of a test's own: a private dbus-daemon with python3-dbusmock
// serving NetworkManager's template on it (and logind's on request). While
// the object lives DBUS_SYSTEM_BUS_ADDRESS names it, so the code under test
// never reaches the machine's bus; the destructor kills every process it
// started, removes its socket and restores the variable. No gtest here:
// the benchmarks use it too.
//
// Threading: one thread; make it while no bus listener of the library runs
// (the library reads the variable when it connects).
#ifndef OSCPROBE_TESTS_MOCKBUS_H
#define OSCPROBE_TESTS_MOCKBUS_H

#include <sys/types.h>

#include <string>

struct sd_bus;

namespace oscprobe_test {

class MockBus {
public:
    // Starts the daemon and the NetworkManager mock; why() says what failed.
    MockBus();
    ~MockBus();
    MockBus(const MockBus&) = delete;
    MockBus& operator=(const MockBus&) = delete;

    // Empty when the bus and NetworkManager's mock are up.
    const std::string& why() const { return why_; }

    // Starts the mock of `service` ("org.freedesktop.NetworkManager" or
    // "org.freedesktop.login1") and waits, ten seconds at most, until it
    // owns its name. False (and why()) when it does not.
    bool start(const std::string& service);
    // Kills its mock; the name has left the bus on return.
    void kill(const std::string& service);
    // Kills the daemon: every client of the bus loses it.
    void killDaemon();

    // Calls `member` of the mock interface on `path` of `service` with
    // sd-bus's `types` and arguments; returns the reply's string, if any.
    // Throws std::runtime_error when the call fails.
    std::string mock(const char* service, const char* path, const char* member, const char* types,
                     ...);

private:
    bool awaitName(const std::string& service, bool owned);

    std::string why_, dir_, oldAddress_;
    bool hadAddress_ = false;
    pid_t daemon_ = -1;
    pid_t mocks_[2] = {-1, -1}; // NetworkManager, logind
    sd_bus* client_ = nullptr;
};

} // namespace oscprobe_test

#endif
