// ProbeLog: the tool's view of the library's log.
//
// One handler for the whole process, installed before any probe exists and
// never removed: the library's watcher thread cannot be stopped and may log
// until the process ends, so the handler must outlive it. It routes every
// line:
// - with a log file (--log), every line goes there, level-2 lines only when
//   verbose; standard error still shows the errors;
// - otherwise standard error shows the errors, and every line when verbose.
// Text from the machine is escaped before it reaches a terminal or file.
// Lines may arrive from the library's watcher thread, hence the lock.
#ifndef OSCPROBE_CLI_PROBELOG_H
#define OSCPROBE_CLI_PROBELOG_H

#include <string>

namespace oscprobe_cli {

namespace ProbeLog {

// Installs the handler. Returns false, with errno set, when the log file
// cannot be opened (a FIFO without a reader fails at once rather than
// blocking).
bool configure(bool verbose, const std::string& logFile);

} // namespace ProbeLog

} // namespace oscprobe_cli

#endif
