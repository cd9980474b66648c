// ProbeLog: the tool's view of the library's log while a command runs.
//
// It keeps the last line each tag wrote, so a row can say what the probe
// concluded ("Running on AC power"), and shows lines on standard error:
// every line with --verbose, otherwise only error lines. Lines may arrive
// from the library's watcher thread, hence the lock.
#ifndef OSCPROBE_CLI_PROBELOG_H
#define OSCPROBE_CLI_PROBELOG_H

#include <map>
#include <mutex>
#include <string>

namespace oscprobe_cli {

class ProbeLog {
public:
    // Installs itself as the library's log handler until destroyed.
    ProbeLog();
    ~ProbeLog();
    ProbeLog(const ProbeLog&) = delete;
    ProbeLog& operator=(const ProbeLog&) = delete;

    // The last line written under `tag`, or an empty string.
    std::string last(const std::string& tag) const;

private:
    void onLine(int severity, const char* tag, const char* text);

    bool verbose_;
    mutable std::mutex mutex_;
    std::map<std::string, std::string> last_; // guarded by mutex_
};

} // namespace oscprobe_cli

#endif
