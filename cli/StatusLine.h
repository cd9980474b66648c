// StatusLine: the one live line `wait` and `run` keep on a terminal, redrawn
// in place and cut to the terminal's width so that it never wraps (a wrapped
// line cannot be redrawn).
//
// Threading: the main thread only. show() and clear() write to standard
// error and never fail the caller.
#ifndef OSCPROBE_CLI_STATUSLINE_H
#define OSCPROBE_CLI_STATUSLINE_H

#include <string>

namespace oscprobe_cli {

class StatusLine {
public:
    // A disabled line shows nothing (not a terminal, --json, --quiet).
    explicit StatusLine(bool enabled) : enabled_(enabled) {}
    ~StatusLine() { clear(); }
    StatusLine(const StatusLine&) = delete;
    StatusLine& operator=(const StatusLine&) = delete;

    // Replaces the line with `text`, made printable and cut to fit.
    void show(const std::string& text);

    // Removes the line, so that a message can take its place.
    void clear();

private:
    bool enabled_;
    bool shown_ = false;
};

// "M:SS", or "H:MM:SS" from an hour on.
std::string clockText(double seconds);

} // namespace oscprobe_cli

#endif
