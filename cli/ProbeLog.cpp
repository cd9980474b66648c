#include "ProbeLog.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include "EvDebug.h"

namespace oscprobe_cli {

namespace {

bool verboseLog = false;
int logFd = -1; // the --log file, open for the whole run

// The library's own line layout, so a log file reads the same whoever
// wrote it.
void writeLine(int fd, int severity, const char* tag, const char* text)
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
            text);
}

} // namespace

bool ProbeLog::configure(bool verbose, const std::string& logFile)
{
    verboseLog = verbose;
    if (verbose)
        EvDebug::setDebugLevel(2);
    if (!logFile.empty()) {
        logFd = open(logFile.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
        if (logFd < 0)
            return false;
    }
    return true;
}

ProbeLog::ProbeLog(bool detail) : lines_(std::make_shared<Lines>())
{
    if (detail)
        EvDebug::setDebugLevel(2);
    EvDebug::setLogHandler([lines = lines_](int severity, const char* tag, const char* text) {
        lines->onLine(severity, tag, text);
    });
}

ProbeLog::~ProbeLog() { EvDebug::setLogHandler(EvDebug::Handler()); }

std::string ProbeLog::last(const std::string& tag) const
{
    std::lock_guard<std::mutex> lock(lines_->mutex);
    auto it = lines_->last.find(tag);
    return it == lines_->last.end() ? std::string() : it->second;
}

void ProbeLog::Lines::onLine(int severity, const char* tag, const char* text)
{
    std::lock_guard<std::mutex> lock(mutex);
    last[tag] = text;
    const bool wanted = verboseLog || severity != EvDebug::SEVERITY_VERBOSE;
    if (logFd >= 0 && wanted)
        writeLine(logFd, severity, tag, text);
    if (severity == EvDebug::SEVERITY_ERROR || (logFd < 0 && verboseLog)) {
        const char* label = severity == EvDebug::SEVERITY_ERROR
                                ? "error"
                                : (severity == EvDebug::SEVERITY_INFO ? "info" : "debug");
        fprintf(stderr, "oscprobe: %s: %s: %s\n", label, tag, text);
    }
}

} // namespace oscprobe_cli
