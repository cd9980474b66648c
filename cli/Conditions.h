// Conditions: the one table of what the tool can ask (kConditions in
// Conditions.cpp). Each row is one condition: its name, the options that ask
// for it in `check`, `wait` and `run` and the defaults `status` shows it
// with, how its probe is made, what wakes a host for it, how its answer is
// put into words, and the text of its no-go code. The options, `status`'s
// rows, the values of `status --probe` and the JSON all come from the rows.
// A ConditionSet holds the probes of one command.
//
// Threading: the main thread makes, starts, evaluates, stops and destroys a
// set; nothing here is shared with the library's threads except the monitor
// handed to start().
#ifndef OSCPROBE_CLI_CONDITIONS_H
#define OSCPROBE_CLI_CONDITIONS_H

#include <functional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "Commands.h"
#include "oscprobe.h"

namespace CLI {
class App;
}

namespace oscprobe_cli {

// One condition's answer at one evaluation.
struct Answer {
    enum State { GO, NO_GO, FAILED };
    std::string condition;  // a name of the table
    State state = FAILED;
    OscProbeReason code = 0; // set on NO_GO
    std::string reason;      // set on NO_GO: what the code means
    std::string message;     // the explanation of `check`, or the library's error
    nlohmann::ordered_json figure; // the number behind the answer, or null
    std::string detail;      // the explanation of `status`, or the library's error
    // Further figures by name; those found before a failure stay.
    nlohmann::ordered_json figures = nlohmann::ordered_json::object();
};

// "can't read settings file FILE: WHY", as every answer about one says it.
std::string unreadableSettings(const std::string& file, const std::string& why);

// The items with `separator` between them.
std::string joined(const std::vector<std::string>& items, const char* separator);

const char* stateName(Answer::State state);
std::string hexCode(OscProbeReason code);

// Every row's name, in the table's order.
std::vector<std::string> conditionNames();

// Adds every row's options to `check`, `wait` or `run`, writing to `options`.
void addConditionOptions(CLI::App* command, ConditionOptions& options);

// Adds every row's options of `status`, and writes the defaults that make
// `status` show a row into `options`: namedConditions() of the result are
// the rows `status` shows.
void addStatusOptions(CLI::App* command, ConditionOptions& options);

// "cpu, ac, ... and wired; subnet with --subnet": the rows `status` shows,
// and how to have the others shown.
std::string statusShows();

// The conditions `options` ask for, in the table's order. Throws
// UsageError for --disk-below without --dir and the other way round.
std::vector<std::string> namedConditions(const ConditionOptions& options);

struct ConditionRow;

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

    // Registers every probe that can wake `monitor`, and the monitor itself
    // for power events when a condition needs them. Safe to repeat: a
    // subnet probe leaves the watcher when it answers go, and must be
    // started again to be woken after a later no-go. Returns false when
    // nothing will wake the monitor (nothing can, or the watcher failed);
    // when a probe could not be started at all (no thread could be made
    // for the watcher), *problem says why and the next call tries again.
    // Never call it, or stop(), with the monitor entered: the library's
    // threads take their registry's lock, then the monitor.
    bool start(JxMonitor* monitor, std::string* problem);
    void stop();

    // Asks every probe once, in the order the conditions were made.
    std::vector<Answer> evaluate();

    // Asks the probe once and puts its answer into words (message, figure,
    // detail, figures); returns the answer. May throw as the probe does.
    using Ask = std::function<bool(Answer&)>;

private:
    struct Condition {
        const ConditionRow* row;
        SP<OscProbe> probe;
        Ask ask;
    };

    std::vector<Condition> conditions_;
    bool watchesInterfaces_ = false;
    bool watchesPower_ = false;           // some condition needs power events
    JxMonitor* powerWatched_ = nullptr;   // the monitor given them, until stop()
};

} // namespace oscprobe_cli

#endif
