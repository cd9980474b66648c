#include "Notify.h"

#include <stdlib.h>

#include <systemd/sd-daemon.h>

namespace oscprobe_cli {

ServiceStatus::ServiceStatus() : enabled_(getenv("NOTIFY_SOCKET") != nullptr) {}

void ServiceStatus::say(const std::string& text)
{
    if (!enabled_ || text == last_)
        return;
    last_ = text;
    // A status line ends at a newline; names from the machine cannot break it.
    std::string line = "STATUS=" + text;
    for (char& c : line)
        if (c == '\n')
            c = ' ';
    sd_notify(0, line.c_str());
}

} // namespace oscprobe_cli
