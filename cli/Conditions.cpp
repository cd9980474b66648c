#include "Conditions.h"

#include <net/if.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <exception>
#include <list>
#include <string>
#include <vector>

#include "Errors.h"

namespace oscprobe_cli {

namespace {

// As `check` words a percentage: whole numbers without decimals ("10%"),
// measured ones with one.
std::string percent(double value)
{
    char buf[64];
    if (value == static_cast<long long>(value))
        snprintf(buf, sizeof buf, "%lld%%", static_cast<long long>(value));
    else
        snprintf(buf, sizeof buf, "%.1f%%", value);
    return buf;
}

// As `status` words a percentage: always `decimals` of them.
std::string fixedPercent(double value, int decimals)
{
    char buf[64];
    snprintf(buf, sizeof buf, "%.*f%%", decimals, value);
    return buf;
}

// A settings file named on the command line must be there and readable:
// otherwise the Hubmaster condition would quietly say no-go for a typo.
void checkSettingsFile(const std::string& path)
{
    std::string text, why;
    if (!JXPlatformInfo::readSettingsFile(path, &text, &why))
        throw UsageError(unreadableSettings(path, why));
}

// Whether the interface is down or has no carrier; false when it cannot be
// told.
bool linkDown(const std::string& name)
{
    const int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (sock < 0)
        return false;
    struct ifreq req;
    memset(&req, 0, sizeof req);
    memcpy(req.ifr_name, name.data(), std::min(name.size(), sizeof req.ifr_name - 1));
    const bool known = ioctl(sock, SIOCGIFFLAGS, &req) == 0;
    close(sock);
    return known && (req.ifr_flags & (IFF_UP | IFF_RUNNING)) != (IFF_UP | IFF_RUNNING);
}

// What an AC probe's last answer rests on: "on AC power: ACPI adapter AC is
// on-line", "on battery power: battery BAT0 is discharging", or, when AC
// power was only assumed, what each source said.
std::string acFinding(const OscProbeAC& probe, bool go)
{
    if (probe.lastAssumed())
        return probe.getLastFinding();
    return (go ? "on AC power: " : "on battery power: ") + probe.getLastFinding();
}

} // namespace

std::string joined(const std::vector<std::string>& items, const char* separator)
{
    std::string text;
    for (const std::string& item : items)
        text += (text.empty() ? "" : separator) + item;
    return text;
}

std::string unreadableSettings(const std::string& file, const std::string& why)
{
    return "can't read settings file " + file + ": " + why;
}

std::string foundAddress(const OscProbeSubNet& probe, const std::string& what)
{
    char address[128];
    ZUNET_ip2str(&probe.getLastAddress(), address, sizeof address);
    return probe.getLastInterface() + " has an address in " + what + ": " + address +
           (linkDown(probe.getLastInterface()) ? " (link down)" : "");
}

const char* stateName(Answer::State state)
{
    switch (state) {
    case Answer::GO:
        return "go";
    case Answer::NO_GO:
        return "no-go";
    default:
        return "error";
    }
}

std::string hexCode(OscProbeReason code)
{
    char buf[16];
    snprintf(buf, sizeof buf, "0x%08X", static_cast<unsigned>(code));
    return buf;
}

namespace {

// A condition's probe, just made, and the words for its answers.
struct Made {
    OscProbe* probe;
    ConditionSet::Describe describe;
    bool watchesInterfaces;
};

// The names of the interfaces of one kind, for `status`; "none" also when
// they cannot be listed (the probe then reports that failure itself).
std::string interfaceNames(OscProbeSubNet::IFTYPE kind)
{
    std::string names;
    try {
        for (const auto& i : OscProbeSubNet::getIFList())
            if (i.type == kind)
                names += (names.empty() ? "" : ", ") + i.name;
    } catch (const JxException&) {
    }
    return names.empty() ? "none" : names;
}

Made makeCpu(const std::string&, const ConditionOptions& options)
{
    const int threshold = options.cpu;
    auto* cpu = new OscProbeCPU(threshold);
    return {cpu,
            [cpu, threshold](bool go, Answer& a) {
                const long long usage = cpu->getLastUsage();
                a.message = "CPU usage " + std::to_string(usage) + "% is " +
                            (go ? "at or below " : "above ") + std::to_string(threshold) + "%";
                a.figure = usage;
                a.detail = "usage " + fixedPercent(static_cast<double>(usage), 0) +
                           " over the last half minute (go up to " + std::to_string(threshold) +
                           "%)";
                a.figures["usage_percent"] = usage;
                a.figures["threshold_percent"] = threshold;
            },
            false};
}

Made makeAc(const std::string&, const ConditionOptions&)
{
    auto* ac = new OscProbeAC();
    return {ac, [ac](bool go, Answer& a) { a.message = a.detail = acFinding(*ac, go); }, false};
}

Made makeBattery(const std::string&, const ConditionOptions& options)
{
    const int threshold = options.battery;
    auto* battery = new OscProbeBattery(threshold);
    return {battery,
            [battery, threshold](bool go, Answer& a) {
                const double level = battery->getLastLevel();
                a.message = a.detail = battery->getLastFinding();
                if (level >= 0) {
                    a.message += go ? ", at least " : ", below ";
                    a.message += std::to_string(threshold) + "%";
                    a.figure = static_cast<double>(static_cast<long long>(level * 10 + 0.5)) / 10;
                }
            },
            false};
}

Made makeSubnet(const std::string&, const ConditionOptions& options)
{
    const std::string list = joined(options.subnets, " or ");
    OscProbeSubNet* subnet;
    try {
        subnet = new OscProbeSubNet(
            std::list<std::string>(options.subnets.begin(), options.subnets.end()));
    } catch (const JxException& e) {
        throw UsageError(e.getMessage());
    }
    return {subnet,
            [subnet, list](bool go, Answer& a) {
                a.message = a.detail = go ? foundAddress(*subnet, list) : "no address in " + list;
            },
            true};
}

Made makeInterfaceKind(const std::string& kind, const ConditionOptions&)
{
    const OscProbeSubNet::IFTYPE type =
        kind == "wired" ? OscProbeSubNet::WIRED : OscProbeSubNet::WIRELESS;
    auto* probe = new OscProbeSubNet(type);
    return {probe,
            [probe, kind, type](bool go, Answer& a) {
                a.message = go ? foundAddress(*probe, "a " + kind + " interface")
                               : "no " + kind + " interface has an address";
                a.detail = interfaceNames(type);
            },
            true};
}

Made makeHubmaster(const std::string&, const ConditionOptions&)
{
    return {new OscProbeHM(),
            [](bool go, Answer& a) {
                // Read after the probe, from the file it read: the figure
                // then explains the answer (barring a rewrite in between).
                const std::string file = JXPlatformInfo::getSettingsFile();
                std::string value, why;
                const bool found =
                    JXPlatformInfo().getString("Runtime", "nHMONLINE", &value, &why) != 0;
                a.detail = found         ? "nHMONLINE=" + value + " in " + file
                           : why.empty() ? "nHMONLINE not set in " + file
                                         : unreadableSettings(file, why);
                a.figures["settings_file"] = file;
                if (found)
                    a.figures["nHMONLINE"] = value;
                if (access(file.c_str(), F_OK) != 0) {
                    a.message =
                        "no settings file " + file + ", so the Hubmaster counts as unreachable";
                } else if (!found) {
                    a.message = (why.empty() ? "nHMONLINE is not set in " + file
                                             : unreadableSettings(file, why)) +
                                ", so the Hubmaster counts as unreachable";
                } else {
                    a.message = std::string("Hubmaster recorded ") +
                                (go ? "reachable" : "unreachable") + " (nHMONLINE=" + value +
                                " in " + file + ")";
                    char* end = nullptr;
                    const long long number = strtoll(value.c_str(), &end, 10);
                    if (end != value.c_str() && *end == '\0')
                        a.figure = number;
                }
            },
            false};
}

Made makeDisk(const std::string&, const ConditionOptions& options)
{
    const double threshold = options.diskBelow;
    const std::vector<std::string> dirs = options.dirs;
    auto* disk = new OscProbeDiskSpace(std::list<std::string>(dirs.begin(), dirs.end()), threshold);
    return {disk,
            [disk, dirs, threshold](bool go, Answer& a) {
                // Every directory's figure, not only those the probe looked
                // at before its first go.
                std::string figures, below, detail;
                double lowest = 100;
                for (const std::string& dir : dirs) {
                    const double free = disk->getFreeSpacePercent(dir);
                    a.figures["free_percent"][dir] = free;
                    detail += (detail.empty() ? "" : ", ") + dir + " " + fixedPercent(free, 1) +
                              " free";
                    figures += (figures.empty() ? "" : ", ") + dir + " " + percent(free);
                    if (free < threshold && below.empty())
                        below = dir + " has " + percent(free) + " free";
                    lowest = std::min(lowest, free);
                }
                a.detail = detail + " (go below " + fixedPercent(threshold, 1) + ")";
                a.figures["threshold_percent"] = threshold;
                a.figure = static_cast<double>(static_cast<long long>(lowest * 10 + 0.5)) / 10;
                if (go && !below.empty())
                    a.message = below + ", below " + percent(threshold);
                else if (go)
                    a.message =
                        "free space went below " + percent(threshold) + " (now " + figures + ")";
                else
                    a.message =
                        "free space is not below " + percent(threshold) + " (" + figures + ")";
            },
            false};
}

const struct {
    const char* name;
    Made (*make)(const std::string& name, const ConditionOptions& options);
} kConditions[] = {
    {"cpu", makeCpu},
    {"ac", makeAc},
    {"battery", makeBattery},
    {"subnet", makeSubnet},
    {"wired", makeInterfaceKind},
    {"wireless", makeInterfaceKind},
    {"hubmaster", makeHubmaster},
    {"disk", makeDisk},
};

} // namespace

std::vector<std::string> namedConditions(const ConditionOptions& options)
{
    if (options.diskBelow >= 0 && options.dirs.empty())
        throw UsageError("--disk-below needs at least one --dir");
    if (options.diskBelow < 0 && !options.dirs.empty())
        throw UsageError("--dir needs --disk-below");
    std::vector<std::string> names;
    if (options.cpu >= 0)
        names.push_back("cpu");
    if (options.ac)
        names.push_back("ac");
    if (options.battery >= 0)
        names.push_back("battery");
    if (!options.subnets.empty())
        names.push_back("subnet");
    names.insert(names.end(), options.ifaces.begin(), options.ifaces.end());
    if (options.hubmaster)
        names.push_back("hubmaster");
    if (options.diskBelow >= 0)
        names.push_back("disk");
    return names;
}

ConditionSet::ConditionSet(const ConditionOptions& options, const std::vector<std::string>& names)
{
    if (!options.settingsFile.empty()) {
        checkSettingsFile(options.settingsFile);
        JXPlatformInfo::setSettingsFile(options.settingsFile);
    }
    for (const std::string& name : names) {
        for (const auto& entry : kConditions) {
            if (name != entry.name)
                continue;
            Made made = entry.make(name, options);
            // Held from here on, so a throw in a later constructor releases it.
            conditions_.push_back(Condition{name, SP<OscProbe>(made.probe), std::move(made.describe)});
            watchesInterfaces_ = watchesInterfaces_ || made.watchesInterfaces;
        }
    }
    if (conditions_.empty())
        throw UsageError("no condition given");
}

ConditionSet::~ConditionSet() { stop(); }

bool ConditionSet::start(JxMonitor* monitor, std::string* problem)
{
    bool wakes = false;
    for (Condition& c : conditions_) {
        try {
            if (c.probe->start(monitor))
                wakes = true;
        } catch (const JxException& e) {
            *problem = std::string(e.getFuncName()) + ": " + e.getMessage();
        } catch (const std::exception& e) {
            *problem = e.what();
        }
    }
    return wakes;
}

void ConditionSet::stop()
{
    for (Condition& c : conditions_)
        c.probe->stop();
}

std::vector<Answer> ConditionSet::evaluate()
{
    std::vector<Answer> answers;
    answers.reserve(conditions_.size());
    for (Condition& c : conditions_) {
        Answer a;
        a.condition = c.name;
        try {
            const bool go = c.probe->probe();
            a.state = go ? Answer::GO : Answer::NO_GO;
            if (!go)
                a.code = c.probe->getNoGoReason();
            c.describe(go, a);
        } catch (const JxException& e) {
            a.state = Answer::FAILED;
            a.message = a.detail = std::string(e.getFuncName()) + ": " + e.getMessage();
            a.figure = nullptr;
        } catch (const std::exception& e) {
            a.state = Answer::FAILED;
            a.message = a.detail = e.what();
            a.figure = nullptr;
        }
        answers.push_back(std::move(a));
    }
    return answers;
}

} // namespace oscprobe_cli
