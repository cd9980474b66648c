// Terminal: the controlling terminal of `run --hold`, when the tool runs in
// its foreground. The job then gets the foreground while it runs, as a
// shell gives it to a job, so that it may read the terminal and change its
// modes (in the background the kernel stops it with SIGTTIN or SIGTTOU).
// While the job is held the tool takes the foreground back: Ctrl-C reaches
// the tool, which passes it on, and the status line is the tool's to draw.
//
// The tool is in the background while the job has the foreground: taking it
// back, and writing a message then, would stop the tool with SIGTTOU. The
// caller keeps SIGTTOU blocked in every thread (SignalCatcher does), which
// the kernel takes as leave to do both.
//
// Threading: the main thread only.
#ifndef OSCPROBE_CLI_TERMINAL_H
#define OSCPROBE_CLI_TERMINAL_H

#include <sys/types.h>

namespace oscprobe_cli {

class Terminal {
public:
    // Finds the first of standard input, output and error that is a
    // terminal whose foreground is the tool's process group; none when the
    // tool runs in the background or without a terminal.
    Terminal();

    // The descriptor of the terminal, or -1.
    int fd() const { return fd_; }

    // Gives the foreground to `group`; once more is harmless.
    void give(pid_t group);

    // Takes the foreground back for the tool, if it gave it away.
    void takeBack();

private:
    int fd_ = -1;
    bool given_ = false;
};

} // namespace oscprobe_cli

#endif
