// The oscprobe tool's subcommands. Each runs on the main thread, prints to
// standard output (log lines go to standard error) and returns the exit
// status: 0 all go, 1 some probe said no-go, 2 a probe failed.
#ifndef OSCPROBE_CLI_COMMANDS_H
#define OSCPROBE_CLI_COMMANDS_H

#include <string>
#include <vector>

namespace oscprobe_cli {

enum ExitStatus { EXIT_ALL_GO = 0, EXIT_NO_GO = 1, EXIT_PROBE_FAILED = 2 };

struct StatusOptions {
    int cpuThreshold = 80;
    std::string settingsFile;              // empty: the library's default
    std::vector<std::string> diskDirs{"/"};
    double diskThreshold = 10.0;
    std::vector<std::string> subnets;      // empty: no subnet line
    std::vector<std::string> only;         // probe names to evaluate; empty: all
    bool json = false;
};

int runStatus(const StatusOptions& options);
int runIfaces(bool json);

} // namespace oscprobe_cli

#endif
