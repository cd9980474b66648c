#include "Notify.h"

#include <stddef.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

namespace oscprobe_cli {

ServiceStatus::ServiceStatus()
{
    const char* path = getenv("NOTIFY_SOCKET");
    if (path == nullptr)
        return;
    const size_t size = strlen(path);
    if ((path[0] != '/' && path[0] != '@') || size < 2 || size > sizeof address_.sun_path)
        return;
    address_.sun_family = AF_UNIX;
    memcpy(address_.sun_path, path, size);
    if (path[0] == '@')
        address_.sun_path[0] = '\0'; // abstract: the name is counted, not terminated
    length_ = static_cast<socklen_t>(offsetof(struct sockaddr_un, sun_path) + size +
                                     (path[0] == '/' && size < sizeof address_.sun_path));
    sock_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
}

ServiceStatus::~ServiceStatus()
{
    if (sock_ >= 0)
        close(sock_);
}

void ServiceStatus::say(const std::string& text)
{
    if (sock_ < 0 || text == last_)
        return;
    // A status line ends at a newline; names from the machine cannot break it.
    std::string line = "STATUS=" + text;
    for (char& c : line)
        if (c == '\n')
            c = ' ';
    // Never waits: a full queue drops the status instead of stopping us.
    if (sendto(sock_, line.data(), line.size(), MSG_DONTWAIT | MSG_NOSIGNAL,
               reinterpret_cast<const sockaddr*>(&address_), length_) ==
        static_cast<ssize_t>(line.size()))
        last_ = text;
}

} // namespace oscprobe_cli
