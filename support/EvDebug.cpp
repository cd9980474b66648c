#include "EvDebug.h"

#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <memory>
#include <mutex>
#include <string>

namespace {

// Where lines go when no handler is set. Replaced as a whole and shared
// with writers in flight, so a writer never uses a descriptor that
// setLogFile() has closed meanwhile.
struct Destination {
    int fd = STDERR_FILENO;
    bool ownsFd = false;

    ~Destination()
    {
        if (ownsFd)
            close(fd);
    }
};

// Never destroyed: the watcher thread may still log while the process exits.
struct LogState {
    std::mutex mutex;
    std::shared_ptr<const Destination> destination = std::make_shared<Destination>();
    std::shared_ptr<const EvDebug::Handler> handler; // null: write to destination
    // -1 until a host sets a level or the environment has been read.
    std::atomic<int> level{-1};
};

LogState& state()
{
    static LogState& s = *new LogState;
    return s;
}

int levelFromEnvironment()
{
    const char* text = getenv("OSCPROBE_DEBUG_LEVEL");
    if (text == nullptr || *text == '\0')
        return 1;
    char* end = nullptr;
    long value = strtol(text, &end, 10);
    if (*end != '\0' || value < 0 || value > 100)
        return 1;
    return static_cast<int>(value);
}

int currentLevel()
{
    LogState& s = state();
    int level = s.level.load(std::memory_order_relaxed);
    if (level < 0) {
        int fromEnv = levelFromEnvironment();
        // A level set by the host meanwhile wins over the environment.
        if (s.level.compare_exchange_strong(level, fromEnv, std::memory_order_relaxed))
            level = fromEnv;
    }
    return level;
}

const char* severityText(int severity)
{
    switch (severity) {
    case EvDebug::SEVERITY_ERROR:
        return "ERROR";
    case EvDebug::SEVERITY_INFO:
        return "INFO";
    default:
        return "DEBUG";
    }
}

__attribute__((format(printf, 1, 0))) std::string format(const char* fmt, va_list args)
{
    char small[512];
    va_list copy;
    va_copy(copy, args);
    int n = vsnprintf(small, sizeof small, fmt, copy);
    va_end(copy);
    std::string text;
    if (n < 0)
        return text;
    if (static_cast<size_t>(n) < sizeof small) {
        text.assign(small, static_cast<size_t>(n));
    } else {
        text.resize(static_cast<size_t>(n) + 1);
        vsnprintf(&text[0], text.size(), fmt, args);
        text.resize(static_cast<size_t>(n));
    }
    // One call is one line: the writer ends it.
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    return text;
}

void writeAll(int fd, const std::string& line)
{
    size_t off = 0;
    while (off < line.size()) {
        ssize_t n = write(fd, line.data() + off, line.size() - off);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return; // nowhere left to report a failing log
        off += static_cast<size_t>(n);
    }
}

__attribute__((format(printf, 3, 0))) void emit(int severity, const char* tag, const char* fmt,
                                                 va_list args)
{
    const std::string text = format(fmt, args);
    if (tag == nullptr)
        tag = "";

    std::shared_ptr<const Destination> dest;
    std::shared_ptr<const EvDebug::Handler> handler;
    {
        LogState& s = state();
        std::lock_guard<std::mutex> lock(s.mutex);
        dest = s.destination;
        handler = s.handler;
    }
    if (handler) {
        (*handler)(severity, tag, text.c_str());
        return;
    }

    struct timeval tv;
    gettimeofday(&tv, nullptr);
    struct tm tm;
    localtime_r(&tv.tv_sec, &tm);
    char stamp[40];
    size_t len = strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &tm);
    snprintf(stamp + len, sizeof stamp - len, ".%03ld", static_cast<long>(tv.tv_usec / 1000));

    std::string line;
    line.reserve(text.size() + 64);
    line += stamp;
    line += ' ';
    line += severityText(severity);
    line += ' ';
    line += tag;
    line += ": ";
    line += text;
    line += '\n';
    // A single write per line: appends of different threads never interleave.
    writeAll(dest->fd, line);
}

} // namespace

// Every writer goes to the one process-wide log: the instance argument
// exists for callers that name one and selects nothing here.
EvDebug::EvDebug(EvDebugFileInstance* inst) : instance(inst) { (void)instance; }

EvDebug::~EvDebug() = default;

void EvDebug::Debug(const char* tag, const char* fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    emit(SEVERITY_INFO, tag, fmt, args);
    va_end(args);
}

void EvDebug::DebugLvl(const char* tag, int level, const char* fmt, ...)
{
    if (currentLevel() < level)
        return;
    va_list args;
    va_start(args, fmt);
    emit(SEVERITY_VERBOSE, tag, fmt, args);
    va_end(args);
}

void EvDebug::Error(const char* tag, const char* fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    emit(SEVERITY_ERROR, tag, fmt, args);
    va_end(args);
}

int EvDebug::getDebugLevel() const { return currentLevel(); }

void EvDebug::setDebugLevel(int level) { state().level.store(level < 0 ? 0 : level); }

bool EvDebug::setLogFile(const char* path)
{
    auto dest = std::make_shared<Destination>();
    if (path != nullptr) {
        // Opened without blocking: a FIFO nobody reads fails at once (ENXIO)
        // instead of holding the caller. Writes block again as usual.
        int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0644);
        if (fd < 0)
            return false;
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
        dest->fd = fd;
        dest->ownsFd = true;
    }
    LogState& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.destination = std::move(dest);
    return true;
}

void EvDebug::setLogHandler(Handler handler)
{
    std::shared_ptr<const Handler> next;
    if (handler)
        next = std::make_shared<const Handler>(std::move(handler));
    LogState& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.handler = std::move(next);
}
