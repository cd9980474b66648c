// The oscprobe tool's subcommands. Each runs on the main thread, prints to
// standard output (log lines and errors go to standard error) and returns
// the exit status.
#ifndef OSCPROBE_CLI_COMMANDS_H
#define OSCPROBE_CLI_COMMANDS_H

#include <string>
#include <vector>

#include "Errors.h"

namespace oscprobe_cli {

struct ConditionOptions;

struct StatusOptions {
    int cpuThreshold = 80;
    std::string settingsFile;              // empty: the library's default
    std::vector<std::string> diskDirs{"/"};
    double diskThreshold = 10.0;
    std::vector<std::string> subnets;      // empty: no subnet line
    std::vector<std::string> only;         // probe names to evaluate; empty: all
    bool json = false;
};

struct WaitOptions {
    double timeout = -1;   // seconds; negative: wait for ever
    double interval = 30;  // seconds between evaluations without a wake-up
    bool json = false;     // one JSON object per evaluation
    bool quiet = false;    // no live status line
    std::vector<std::string> command; // `run`: what to execute once all go
};

int runStatus(const StatusOptions& options);
int runIfaces(bool json);
// These throw UsageError (Conditions.h) for bad input, before any probe runs.
int runCheck(const ConditionOptions& conditions, bool json);
int runWait(const ConditionOptions& conditions, const WaitOptions& options);

} // namespace oscprobe_cli

#endif
