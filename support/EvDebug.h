// EvDebug: a writer on the process-wide debug log.
//
// Every line is one call: a timestamp, the severity, the tag (the writing
// function's qualified name) and the printf-formatted text, written with a
// single write(2) so that lines of different threads never interleave.
// Trailing newlines of the text are dropped; the writer ends every line.
//
// Level: EvDebug::setDebugLevel() if a host called it, else the environment
// variable OSCPROBE_DEBUG_LEVEL (read once), else 1. DebugLvl() writes when
// the level is at least its argument; Debug() and Error() always write.
//
// Destination: standard error by default; setLogFile() appends to a file
// instead. setLogHandler() hands every line to the host, bypassing the
// file; an empty handler returns to the file or standard error.
//
// Threading: every operation, static ones included, may be called from any
// thread at any time. A handler is called on the writing thread, never
// under a lock of the log, and must not throw.
#ifndef OSCPROBE_EVDEBUG_H
#define OSCPROBE_EVDEBUG_H

#include <functional>

#include "JxExport.h"

// Opaque: a log destination other than the default. Unused here.
class EvDebugFileInstance;

class JX_EXPORT EvDebug {
public:
    // Severities handed to a log handler.
    enum Severity {
        SEVERITY_ERROR = 0,  // Error()
        SEVERITY_INFO = 1,   // Debug()
        SEVERITY_VERBOSE = 2 // DebugLvl(), whatever its level
    };

    using Handler = std::function<void(int severity, const char* tag, const char* text)>;

    // A null instance (the only kind used) means the default log.
    explicit EvDebug(EvDebugFileInstance* instance);
    ~EvDebug();

    void Debug(const char* tag, const char* format, ...) __attribute__((format(printf, 3, 4)));
    void DebugLvl(const char* tag, int level, const char* format, ...)
        __attribute__((format(printf, 4, 5)));
    void Error(const char* tag, const char* format, ...) __attribute__((format(printf, 3, 4)));

    int getDebugLevel() const;

    static void setDebugLevel(int level);
    // Appends to `path`; null returns to standard error. A file that cannot
    // be opened leaves the destination unchanged and returns false.
    static bool setLogFile(const char* path);
    // An empty function returns to the default destination.
    static void setLogHandler(Handler handler);

private:
    EvDebugFileInstance* instance;
};

#endif
