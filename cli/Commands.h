// The oscprobe tool's subcommands. Each runs on the main thread, prints to
// standard output (log lines and errors go to standard error) and returns
// the exit status.
#ifndef OSCPROBE_CLI_COMMANDS_H
#define OSCPROBE_CLI_COMMANDS_H

#include <string>
#include <vector>

namespace oscprobe_cli {

// What the operator asked of `check`, `wait` and `run`.
struct ConditionOptions {
    int cpu = -1;                       // --cpu PCT; -1: not asked
    bool ac = false;                    // --ac
    int battery = -1;                   // --battery PCT; -1: not asked
    std::vector<std::string> subnets;   // --subnet CIDR...
    std::vector<std::string> ifaces;    // --iface wired|wireless...
    std::vector<std::string> networks;  // --network ID...
    std::string unmetered;              // --unmetered[=strict]; empty: not asked
    std::vector<std::string> reachable; // --reachable HOST:PORT...
    double connectTimeout = 3;          // --connect-timeout SECONDS
    bool hubmaster = false;             // --hubmaster
    std::string settingsFile;           // --settings FILE; empty: the default
    double diskBelow = -1;              // --disk-below PCT; negative: not asked
    std::vector<std::string> dirs;      // --dir DIR...
};

struct StatusOptions {
    ConditionOptions conditions;        // status's defaults, as its options changed them
    std::vector<std::string> only;      // --probe NAME...; empty: every row shown
    bool json = false;
};

struct WaitOptions {
    double timeout = -1;   // seconds; negative: wait for ever
    double interval = 30;  // seconds between evaluations without a wake-up
    bool json = false;     // one JSON object per evaluation
    bool quiet = false;    // no live status line
    std::vector<std::string> command; // `run`: what to execute once all go
    bool hold = false;       // `run --hold`: keep evaluating, stop the job while no-go
    double holdLimit = -1;   // seconds a job may stay held; negative: for ever
};

// Throws UsageError for bad input, before any probe runs.
int runStatus(const StatusOptions& options);
int runIfaces(bool json);
// What identifies the network the machine is on, as --network IDs.
int runNetwork(bool json);
// These throw UsageError for bad input, before any probe runs.
int runCheck(const ConditionOptions& conditions, bool json);
int runWait(const ConditionOptions& conditions, const WaitOptions& options);

} // namespace oscprobe_cli

#endif
