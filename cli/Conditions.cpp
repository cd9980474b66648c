#include "Conditions.h"

#include <net/if.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <list>
#include <string>
#include <vector>

namespace oscprobe_cli {

namespace {

std::string percent(double value)
{
    char buf[64];
    // Whole numbers print without decimals ("10%"), measured ones with one.
    if (value == static_cast<long long>(value))
        snprintf(buf, sizeof buf, "%lld%%", static_cast<long long>(value));
    else
        snprintf(buf, sizeof buf, "%.1f%%", value);
    return buf;
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

void checkSettingsFile(const std::string& path)
{
    std::string text, why;
    if (!JXPlatformInfo::readSettingsFile(path, &text, &why))
        throw UsageError(unreadableSettings(path, why));
}

namespace {

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

} // namespace

std::string foundAddress(const OscProbeSubNet& probe, const std::string& what)
{
    char address[128];
    ZUNET_ip2str(&probe.getLastAddress(), address, sizeof address);
    return probe.getLastInterface() + " has an address in " + what + ": " + address +
           (linkDown(probe.getLastInterface()) ? " (link down)" : "");
}

std::string acFinding(const OscProbeAC& probe, bool go)
{
    if (probe.lastAssumed())
        return probe.getLastFinding();
    return (go ? "on AC power: " : "on battery power: ") + probe.getLastFinding();
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

ConditionSet::ConditionSet(const ConditionOptions& options)
{
    if (options.diskBelow >= 0 && options.dirs.empty())
        throw UsageError("--disk-below needs at least one --dir");
    if (options.diskBelow < 0 && !options.dirs.empty())
        throw UsageError("--dir needs --disk-below");
    if (!options.settingsFile.empty()) {
        checkSettingsFile(options.settingsFile);
        JXPlatformInfo::setSettingsFile(options.settingsFile);
    }

    if (options.cpu >= 0) {
        const int threshold = options.cpu;
        auto* cpu = new OscProbeCPU(threshold);
        add("cpu", cpu, [cpu, threshold](bool go, Answer& a) {
            const long long usage = cpu->getLastUsage();
            a.message = "CPU usage " + std::to_string(usage) + "% is " +
                        (go ? "at or below " : "above ") + std::to_string(threshold) + "%";
            a.figure = usage;
        });
    }

    if (options.ac) {
        auto* ac = new OscProbeAC();
        add("ac", ac, [ac](bool go, Answer& a) { a.message = acFinding(*ac, go); });
    }

    if (!options.subnets.empty()) {
        const std::string list = joined(options.subnets, " or ");
        OscProbeSubNet* subnet;
        try {
            subnet = new OscProbeSubNet(
                std::list<std::string>(options.subnets.begin(), options.subnets.end()));
        } catch (const JxException& e) {
            throw UsageError(e.getMessage());
        }
        add("subnet", subnet, [subnet, list](bool go, Answer& a) {
            a.message = go ? foundAddress(*subnet, list) : "no address in " + list;
        });
        watchesInterfaces_ = true;
    }

    for (const std::string& kind : options.ifaces) {
        const bool wired = kind == "wired";
        auto* probe = new OscProbeSubNet(wired ? OscProbeSubNet::WIRED : OscProbeSubNet::WIRELESS);
        add(kind, probe, [probe, kind](bool go, Answer& a) {
            a.message = go ? foundAddress(*probe, "a " + kind + " interface")
                           : "no " + kind + " interface has an address";
        });
        watchesInterfaces_ = true;
    }

    if (options.hubmaster) {
        add("hubmaster", new OscProbeHM(), [](bool go, Answer& a) {
            // Read after the probe, from the file it read: the figure then
            // explains the answer (barring a rewrite in between).
            const std::string file = JXPlatformInfo::getSettingsFile();
            std::string value, why;
            if (access(file.c_str(), F_OK) != 0) {
                a.message = "no settings file " + file + ", so the Hubmaster counts as unreachable";
                return;
            }
            if (!JXPlatformInfo().getString("Runtime", "nHMONLINE", &value, &why)) {
                a.message = (why.empty() ? "nHMONLINE is not set in " + file
                                         : unreadableSettings(file, why)) +
                            ", so the Hubmaster counts as unreachable";
                return;
            }
            a.message = std::string("Hubmaster recorded ") + (go ? "reachable" : "unreachable") +
                        " (nHMONLINE=" + value + " in " + file + ")";
            char* end = nullptr;
            long long number = strtoll(value.c_str(), &end, 10);
            if (end != value.c_str() && *end == '\0')
                a.figure = number;
        });
    }

    if (options.diskBelow >= 0) {
        const double threshold = options.diskBelow;
        const std::vector<std::string> dirs = options.dirs;
        auto* disk =
            new OscProbeDiskSpace(std::list<std::string>(dirs.begin(), dirs.end()), threshold);
        add("disk", disk, [disk, dirs, threshold](bool go, Answer& a) {
            // Every directory's figure, not only those the probe looked at
            // before its first go.
            std::string figures;
            std::string below;
            double lowest = 100;
            for (const std::string& dir : dirs) {
                const double free = disk->getFreeSpacePercent(dir);
                figures += (figures.empty() ? "" : ", ") + dir + " " + percent(free);
                if (free < threshold && below.empty())
                    below = dir + " has " + percent(free) + " free";
                lowest = std::min(lowest, free);
            }
            a.figure = static_cast<double>(static_cast<long long>(lowest * 10 + 0.5)) / 10;
            if (go && !below.empty())
                a.message = below + ", below " + percent(threshold);
            else if (go)
                a.message = "free space went below " + percent(threshold) + " (now " + figures + ")";
            else
                a.message = "free space is not below " + percent(threshold) + " (" + figures + ")";
        });
    }

    if (conditions_.empty())
        throw UsageError("no condition given");
}

ConditionSet::~ConditionSet() { stop(); }

void ConditionSet::add(std::string name, OscProbe* probe, std::function<void(bool, Answer&)> describe)
{
    // Held from here on, so a throw in a later constructor releases it.
    SP<OscProbe> held(probe);
    conditions_.push_back(Condition{std::move(name), held, std::move(describe)});
}

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
            a.message = std::string(e.getFuncName()) + ": " + e.getMessage();
            a.figure = nullptr;
        } catch (const std::exception& e) {
            a.state = Answer::FAILED;
            a.message = e.what();
            a.figure = nullptr;
        }
        answers.push_back(std::move(a));
    }
    return answers;
}

} // namespace oscprobe_cli
