// A kernel uevent as the test helpers send it: multicast on the kernel's
// group (root, in the scenario's own network namespace).
#ifndef OSCPROBE_TEST_UEVENT_H
#define OSCPROBE_TEST_UEVENT_H

#include <linux/netlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <string>

// Sends `text` with each ';' turned into a NUL; true when it went out whole.
inline bool sendUevent(std::string text)
{
    std::replace(text.begin(), text.end(), ';', '\0');
    const int sock = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_KOBJECT_UEVENT);
    const sockaddr_nl group = {AF_NETLINK, 0, 0, 1};
    const bool sent = sendto(sock, text.data(), text.size(), 0, reinterpret_cast<const sockaddr*>(&group),
                             sizeof group) == static_cast<ssize_t>(text.size());
    close(sock);
    return sent;
}

#endif
