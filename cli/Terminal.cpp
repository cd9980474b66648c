#include "Terminal.h"

#include <termios.h>
#include <unistd.h>

namespace oscprobe_cli {

Terminal::Terminal()
{
    for (int fd = 0; fd <= 2; ++fd)
        if (isatty(fd) && tcgetsid(fd) == getsid(0)) {
            fd_ = fd;
            return;
        }
}

bool Terminal::ours() const
{
    return fd_ >= 0 && tcgetpgrp(fd_) == getpgrp();
}

void Terminal::give(pid_t group)
{
    if (ours() && tcsetpgrp(fd_, group) == 0)
        given_ = group;
}

void Terminal::takeBack()
{
    if (fd_ >= 0 && given_ != 0 && tcgetpgrp(fd_) == given_)
        tcsetpgrp(fd_, getpgrp());
    given_ = 0;
}

} // namespace oscprobe_cli
