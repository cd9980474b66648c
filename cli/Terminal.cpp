#include "Terminal.h"

#include <unistd.h>

namespace oscprobe_cli {

Terminal::Terminal()
{
    for (int fd = 0; fd <= 2; ++fd)
        if (isatty(fd) && tcgetpgrp(fd) == getpgrp()) {
            fd_ = fd;
            return;
        }
}

void Terminal::give(pid_t group)
{
    if (fd_ >= 0 && tcsetpgrp(fd_, group) == 0)
        given_ = true;
}

void Terminal::takeBack()
{
    if (fd_ >= 0 && given_ && tcsetpgrp(fd_, getpgrp()) == 0)
        given_ = false;
}

} // namespace oscprobe_cli
