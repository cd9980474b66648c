// Conditions: the one table of what the tool can ask (cpu, ac, subnet,
// wired, wireless, hubmaster, disk): how each condition's probe is made from
// the operator's options, and how its answer is put into words, both in the
// terms of `check`, `wait` and `run` and in those of `status`. A
// ConditionSet holds the probes of one command.
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

#include "Commands.h"
#include "oscprobe.h"

namespace oscprobe_cli {

// One condition's answer at one evaluation.
struct Answer {
    enum State { GO, NO_GO, FAILED };
    std::string condition;  // a name of the table
    State state = FAILED;
    OscProbeReason code = 0; // set on NO_GO
    std::string message;     // the explanation of `check`, or the library's error
    nlohmann::ordered_json figure; // the number behind the answer, or null
    std::string detail;      // the explanation of `status`, or the library's error
    // The figures `status --json` shows; those found before a failure stay.
    nlohmann::ordered_json figures = nlohmann::ordered_json::object();
};

// "can't read settings file FILE: WHY", as every answer about one says it.
std::string unreadableSettings(const std::string& file, const std::string& why);

// The items with `separator` between them.
std::string joined(const std::vector<std::string>& items, const char* separator);

// Where a subnet probe's last go answer found its address: "eth0 has an
// address in 10.0.0.0/8: 10.1.2.3", with " (link down)" when the interface
// has no carrier or is down (its address counts all the same).
std::string foundAddress(const OscProbeSubNet& probe, const std::string& what);

const char* stateName(Answer::State state);
std::string hexCode(OscProbeReason code);

// The conditions the options of `check`, `wait` and `run` name, in the
// order they are evaluated; --iface ones in the order given. Throws
// UsageError for --disk-below without --dir and the other way round.
std::vector<std::string> namedConditions(const ConditionOptions& options);

class ConditionSet {
public:
    // Makes the probe of each condition in `names`, in that order, from
    // `options`. Throws UsageError for input the library or the file system
    // rejects (a subnet, an unreadable --settings file) and when `names` is
    // empty; nothing has been started then.
    ConditionSet(const ConditionOptions& options, const std::vector<std::string>& names);
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

    // Fills the message, figure, detail and figures of a go or no-go
    // answer; may throw as the probe does.
    using Describe = std::function<void(bool go, Answer&)>;

private:
    struct Condition {
        std::string name;
        SP<OscProbe> probe;
        Describe describe;
    };

    std::vector<Condition> conditions_;
    bool watchesInterfaces_ = false;
};

} // namespace oscprobe_cli

#endif
