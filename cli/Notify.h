// ServiceStatus: what holds a job back, as the service manager shows it.
//
// Under a service manager that asked for notifications (NOTIFY_SOCKET set)
// `wait` and `run` send "STATUS=..." whenever their one-line state changes,
// so `systemctl status` says "held back by: ac (on battery power)" rather
// than nothing. Without the variable nothing is sent, and the variable is
// left in the environment: a command that `run` becomes inherits the socket.
//
// The datagram is sent without waiting: a manager that does not read its
// socket (its queue holds a few datagrams) must never stop the tool, whose
// job may be held on AC power meanwhile. A status the socket cannot take is
// dropped; the next say() sends whatever is current, the dropped text again
// if nothing changed. Sockets by path and in the abstract namespace ("@...")
// are understood; any other address sends nothing.
//
// Threading: the main thread only. say() never blocks and never fails the
// caller.
#ifndef OSCPROBE_CLI_NOTIFY_H
#define OSCPROBE_CLI_NOTIFY_H

#include <sys/socket.h>
#include <sys/un.h>

#include <string>

namespace oscprobe_cli {

class ServiceStatus {
public:
    ServiceStatus();
    ~ServiceStatus();
    ServiceStatus(const ServiceStatus&) = delete;
    ServiceStatus& operator=(const ServiceStatus&) = delete;

    // Sends `text` as the status unless it is the last one the socket took.
    void say(const std::string& text);

private:
    int sock_ = -1; // -1: nothing to tell, or no socket to tell it with
    struct sockaddr_un address_ = {};
    socklen_t length_ = 0;
    std::string last_;
};

} // namespace oscprobe_cli

#endif
