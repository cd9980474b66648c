#include "ProbeLog.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <mutex>

#include "EvDebug.h"
#include "Text.h"

namespace oscprobe_cli {

namespace {

// Never destroyed: the watcher may still log while the process exits.
struct Route {
    std::mutex mutex;
    bool verbose = false;
    int logFd = -1; // the --log file, open for the whole run
};

Route& route()
{
    static Route& l = *new Route;
    return l;
}

// The library's own line layout, so a log file reads the same whoever
// wrote it.
void writeLine(int fd, int severity, const char* tag, const std::string& text)
{
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    struct tm tm;
    localtime_r(&tv.tv_sec, &tm);
    char stamp[32];
    strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &tm);
    const char* label = severity == EvDebug::SEVERITY_ERROR
                            ? "ERROR"
                            : (severity == EvDebug::SEVERITY_INFO ? "INFO" : "DEBUG");
    dprintf(fd, "%s.%03ld %s %s: %s\n", stamp, static_cast<long>(tv.tv_usec / 1000), label, tag,
            text.c_str());
}

void onLine(int severity, const char* tag, const char* text)
{
    Route& l = route();
    std::lock_guard<std::mutex> lock(l.mutex);
    const bool toFile = l.logFd >= 0 && (l.verbose || severity != EvDebug::SEVERITY_VERBOSE);
    const bool toTerminal = severity == EvDebug::SEVERITY_ERROR || (l.logFd < 0 && l.verbose);
    if (!toFile && !toTerminal)
        return;
    const std::string shown = printable(text);
    if (toFile)
        writeLine(l.logFd, severity, tag, shown);
    if (toTerminal) {
        const char* label = severity == EvDebug::SEVERITY_ERROR
                                ? "error"
                                : (severity == EvDebug::SEVERITY_INFO ? "info" : "debug");
        fprintf(stderr, "oscprobe: %s: %s: %s\n", label, tag, shown.c_str());
    }
}

} // namespace

bool ProbeLog::configure(bool verbose, const std::string& logFile)
{
    Route& l = route();
    l.verbose = verbose;
    if (verbose)
        EvDebug::setDebugLevel(2);
    if (!logFile.empty()) {
        // Without blocking: a FIFO nobody reads fails at once (ENXIO).
        l.logFd = open(logFile.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK,
                       0644);
        if (l.logFd < 0)
            return false;
        fcntl(l.logFd, F_SETFL, fcntl(l.logFd, F_GETFL) & ~O_NONBLOCK);
    }
    EvDebug::setLogHandler(onLine);
    return true;
}

} // namespace oscprobe_cli
