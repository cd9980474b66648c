// Conditions: the probes behind `check`, `wait` and `run`, one per condition
// the operator named, and the tool's own words for each answer.
//
// Threading: the main thread makes, starts, evaluates, stops and destroys a
// set; nothing here is shared with the library's watcher thread except the
// monitor handed to start().
#ifndef OSCPROBE_CLI_CONDITIONS_H
#define OSCPROBE_CLI_CONDITIONS_H

#include <functional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "Errors.h"
#include "oscprobe.h"

namespace oscprobe_cli {

// What the operator asked for on the command line.
struct ConditionOptions {
    int cpu = -1;                       // --cpu PCT; -1: not asked
    bool ac = false;                    // --ac
    std::vector<std::string> subnets;   // --subnet CIDR...
    std::vector<std::string> ifaces;    // --iface wired|wireless...
    bool hubmaster = false;             // --hubmaster
    std::string settingsFile;           // --settings FILE; empty: the default
    double diskBelow = -1;              // --disk-below PCT; negative: not asked
    std::vector<std::string> dirs;      // --dir DIR...
};

// One condition's answer at one evaluation.
struct Answer {
    enum State { GO, NO_GO, FAILED };
    std::string condition;  // "cpu", "ac", "subnet", "wired", "wireless", "hubmaster", "disk"
    State state = FAILED;
    OscProbeReason code = 0; // set on NO_GO
    std::string message;     // the tool's explanation, or the library's error
    nlohmann::ordered_json figure; // the number behind the answer, or null
};

// "can't read settings file FILE: WHY", as every answer about one says it.
std::string unreadableSettings(const std::string& file, const std::string& why);

// A settings file named on the command line must be there and readable:
// otherwise the Hubmaster condition would quietly say no-go for a typo.
// Throws UsageError naming the file.
void checkSettingsFile(const std::string& path);

// The items with `separator` between them.
std::string joined(const std::vector<std::string>& items, const char* separator);

// Where a subnet probe's last go answer found its address: "eth0 has an
// address in 10.0.0.0/8: 10.1.2.3", with " (link down)" when the interface
// has no carrier or is down (its address counts all the same).
std::string foundAddress(const OscProbeSubNet& probe, const std::string& what);

// What an AC probe's last answer rests on: "on AC power: ACPI adapter AC is
// on-line", "on battery power: battery BAT0 is discharging", or, when AC
// power was only assumed, what each source said.
std::string acFinding(const OscProbeAC& probe, bool go);

const char* stateName(Answer::State state);
std::string hexCode(OscProbeReason code);

class ConditionSet {
public:
    // Makes one probe per condition. Throws UsageError for input the
    // library or the file system rejects (a subnet, an unreadable
    // --settings file, missing --dir) and when no condition was named;
    // nothing has been started then.
    explicit ConditionSet(const ConditionOptions& options);
    ~ConditionSet();
    ConditionSet(const ConditionSet&) = delete;
    ConditionSet& operator=(const ConditionSet&) = delete;

    // Whether some condition depends on the interfaces, so that an address
    // change can alter the answer.
    bool watchesInterfaces() const { return watchesInterfaces_; }

    // Registers every probe that can wake `monitor`. Safe to repeat: a
    // subnet probe leaves the watcher when it answers go, and must be
    // started again to be woken after a later no-go. Returns false when
    // no probe will wake the monitor (none can, or the watcher failed);
    // when a probe could not be started at all (no thread could be made
    // for the watcher), *problem says why and the next call tries again.
    bool start(JxMonitor* monitor, std::string* problem);
    void stop();

    // Asks every probe once, in the order the conditions were made.
    std::vector<Answer> evaluate();

private:
    struct Condition {
        std::string name;
        SP<OscProbe> probe;
        // Fills the message and figure of a go or no-go answer; may throw
        // as the probe does.
        std::function<void(bool go, Answer&)> describe;
    };

    void add(std::string name, OscProbe* probe, std::function<void(bool, Answer&)> describe);

    std::vector<Condition> conditions_;
    bool watchesInterfaces_ = false;
};

} // namespace oscprobe_cli

#endif
