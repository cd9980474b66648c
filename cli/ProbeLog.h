// ProbeLog: the tool's view of the library's log while a command runs.
//
// It keeps the last line each tag wrote, so a row can say what the probe
// concluded ("Running on AC power"), and routes every line:
// - with a log file (--log), every line goes there, level-2 lines only
//   when verbose; standard error still shows the errors;
// - otherwise standard error shows the errors, and every line when verbose.
// Lines may arrive from the library's watcher thread, hence the lock.
#ifndef OSCPROBE_CLI_PROBELOG_H
#define OSCPROBE_CLI_PROBELOG_H

#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace oscprobe_cli {

class ProbeLog {
public:
    // The routing of every ProbeLog made after this call. Returns false,
    // with errno set, when the log file cannot be opened.
    static bool configure(bool verbose, const std::string& logFile);

    // Installs itself as the library's log handler until destroyed. With
    // `detail` the library writes its level-2 lines even when not verbose,
    // for last() to find; they are then shown nowhere.
    explicit ProbeLog(bool detail = false);
    ~ProbeLog();
    ProbeLog(const ProbeLog&) = delete;
    ProbeLog& operator=(const ProbeLog&) = delete;

    // The last line written under `tag`, or an empty string.
    std::string last(const std::string& tag) const;

private:
    // Shared with the installed handler: the watcher thread may be inside
    // it while this object goes away.
    struct Lines {
        std::mutex mutex;
        std::map<std::string, std::string> last; // guarded by mutex
        void onLine(int severity, const char* tag, const char* text);
    };
    std::shared_ptr<Lines> lines_;
};

} // namespace oscprobe_cli

#endif
