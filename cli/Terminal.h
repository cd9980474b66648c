// Terminal: the controlling terminal of `run --hold`. While the tool has
// its foreground, the job gets it for as long as it runs, as a shell gives
// it to a job, so that it may read the terminal and change its modes (in
// the background the kernel stops it with SIGTTIN or SIGTTOU). While the
// job is held the tool takes the foreground back: Ctrl-C reaches the tool,
// which passes it on, and the status line is the tool's to draw.
//
// The foreground is only ever passed between the tool and its job: given
// when the tool has it, taken back when the job still has it, so that a
// shell that put the tool in the background keeps its own.
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
    // Finds the first of standard input, output and error that is the
    // controlling terminal of the tool's session; none without one.
    Terminal();

    // The descriptor of the terminal, or -1.
    int fd() const { return fd_; }

    // Whether the tool has the foreground now.
    bool ours() const;

    // Gives the foreground to `group` if the tool has it.
    void give(pid_t group);

    // Takes the foreground back if the group it was given to has it still.
    void takeBack();

private:
    int fd_ = -1;
    pid_t given_ = 0;
};

} // namespace oscprobe_cli

#endif
