// The tool's exit statuses and the error that stands for bad input.
#ifndef OSCPROBE_CLI_ERRORS_H
#define OSCPROBE_CLI_ERRORS_H

#include <stdexcept>

namespace oscprobe_cli {

// Shared by every command. `wait` and `run` also end with EXIT_SIGNALLED +
// the signal number after SIGINT or SIGTERM; `run` otherwise with its
// command's own status, or the shells' codes when the command cannot be run
// or is not found. `check --exec-condition` turns bad input and a failed
// probe into EXIT_FAILS_UNIT, the one status that fails a systemd unit.
enum ExitStatus {
    EXIT_ALL_GO = 0,
    EXIT_NO_GO = 1,
    EXIT_USAGE = 2,
    EXIT_PROBE_FAILED = 3,
    EXIT_CANNOT_RUN = 126,
    EXIT_NOT_FOUND = 127,
    EXIT_SIGNALLED = 128,
    EXIT_FAILS_UNIT = 255,
};

// Bad input found after the arguments parsed: the message is shown on one
// line and the tool exits with status 2.
struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

} // namespace oscprobe_cli

#endif
