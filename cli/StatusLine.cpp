#include "StatusLine.h"

#include <stdio.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "Text.h"

namespace oscprobe_cli {

void StatusLine::show(const std::string& text)
{
    if (!enabled_)
        return;
    struct winsize ws;
    size_t width = ioctl(STDERR_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 1 ? ws.ws_col : 80;
    std::string line = printable(text);
    if (line.size() > width - 1) {
        size_t cut = width - 1;
        while (cut > 0 && (static_cast<unsigned char>(line[cut]) & 0xC0) == 0x80)
            --cut; // not inside a UTF-8 sequence
        line.resize(cut);
    }
    fprintf(stderr, "\r\033[K%s", line.c_str());
    fflush(stderr);
    shown_ = true;
}

void StatusLine::clear()
{
    if (!shown_)
        return;
    fputs("\r\033[K", stderr);
    fflush(stderr);
    shown_ = false;
}

std::string clockText(double seconds)
{
    long total = static_cast<long>(seconds);
    char buf[32];
    if (total >= 3600)
        snprintf(buf, sizeof buf, "%ld:%02ld:%02ld", total / 3600, total / 60 % 60, total % 60);
    else
        snprintf(buf, sizeof buf, "%ld:%02ld", total / 60, total % 60);
    return buf;
}

} // namespace oscprobe_cli
