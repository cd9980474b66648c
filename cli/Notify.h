// ServiceStatus: what holds a job back, as the service manager shows it.
//
// Under a service manager that asked for notifications (NOTIFY_SOCKET set)
// `wait` and `run` send "STATUS=..." whenever their one-line state changes,
// so `systemctl status` says "held back by: ac (on battery power)" rather
// than nothing. Without the variable nothing is sent, and the variable is
// left in the environment: a command that `run` becomes inherits the socket.
//
// Threading: the main thread only. say() never blocks for long (a datagram
// to a local socket) and never fails the caller: a lost status is harmless.
#ifndef OSCPROBE_CLI_NOTIFY_H
#define OSCPROBE_CLI_NOTIFY_H

#include <string>

namespace oscprobe_cli {

class ServiceStatus {
public:
    ServiceStatus();

    // Sends `text` as the status when it differs from the last one sent.
    void say(const std::string& text);

private:
    bool enabled_;
    std::string last_;
};

} // namespace oscprobe_cli

#endif
