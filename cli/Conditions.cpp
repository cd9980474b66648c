#include "Conditions.h"

#include <net/if.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <exception>
#include <list>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "Errors.h"
#include "NetLibrary.h"
#include "Text.h"

namespace oscprobe_cli {

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

// A percentage from 0 to 100, whole or not, with a message in the tool's
// words.
CLI::Validator percentage(bool whole)
{
    return CLI::Validator(
        [whole](std::string& text) -> std::string {
            double value;
            if (!parseNumber(text, whole, &value) || value < 0 || value > 100)
                return "'" + text + "' is not " + (whole ? "a whole" : "a") +
                       " percentage from 0 to 100";
            return std::string();
        },
        "");
}

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

// Where a subnet probe's go answer found its address: "eth0 has an
// address in 10.0.0.0/8: 10.1.2.3", with " (link down)" when the interface
// has no carrier or is down (its address counts all the same).
std::string foundAddress(const OscProbeSubNet::Match& match, const std::string& what)
{
    char address[128];
    ZUNET_ip2str(&match.addr, address, sizeof address);
    return match.iface + " has an address in " + what + ": " + address +
           (linkDown(match.iface) ? " (link down)" : "");
}

// A condition's probe, just made, and how to ask it.
struct Made {
    OscProbe* probe;
    ConditionSet::Ask ask;
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

// The figure of a measured percentage: one decimal.
double oneDecimal(double value)
{
    return static_cast<double>(static_cast<long long>(value * 10 + 0.5)) / 10;
}

Made makeCpu(const std::string&, const ConditionOptions& options)
{
    const int threshold = options.cpu;
    auto* cpu = new OscProbeCPU(threshold);
    return {cpu, [cpu, threshold](Answer& a) {
                const bool go = cpu->probe();
                const long long usage = cpu->getLastUsage();
                a.message = "CPU usage " + std::to_string(usage) + "% is " +
                            (go ? "at or below " : "above ") + std::to_string(threshold) + "%";
                a.figure = usage;
                a.detail = "usage " + fixedPercent(static_cast<double>(usage), 0) +
                           " over the last half minute (go up to " + std::to_string(threshold) +
                           "%)";
                a.figures["usage_percent"] = usage;
                a.figures["threshold_percent"] = threshold;
                return go;
            }};
}

Made makeAc(const std::string&, const ConditionOptions&)
{
    auto* ac = new OscProbeAC();
    return {ac, [ac](Answer& a) {
                OscProbeAC::Finding finding;
                const bool go = ac->probe(&finding);
                // "on AC power: ACPI adapter AC is on-line", "on battery
                // power: battery BAT0 is discharging", or, when AC power was
                // only assumed, what each source said.
                a.message = a.detail =
                    finding.assumed ? finding.text
                                    : (go ? "on AC power: " : "on battery power: ") + finding.text;
                return go;
            }};
}

Made makeBattery(const std::string&, const ConditionOptions& options)
{
    const int threshold = options.battery;
    auto* battery = new OscProbeBattery(threshold);
    return {battery, [battery, threshold](Answer& a) {
                const bool go = battery->probe();
                const double level = battery->getLastLevel();
                a.message = battery->getLastFinding();
                if (level >= 0) {
                    a.message +=
                        (go ? ", at least " : ", below ") + std::to_string(threshold) + "%";
                    // Cut, not rounded: 49.96 is below a threshold of 50.
                    a.figure = std::floor(level * 10) / 10;
                    a.figures["level_percent"] = a.figure;
                }
                a.detail = a.message;
                a.figures["threshold_percent"] = threshold;
                return go;
            }};
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
    return {subnet, [subnet, list](Answer& a) {
                OscProbeSubNet::Match match;
                const bool go = subnet->probe(&match);
                a.message = a.detail = go ? foundAddress(match, list) : "no address in " + list;
                return go;
            }};
}

// An option that may be given many times, each time with one value, all of
// them kept: --subnet, --network, --reachable, --iface, --dir.
CLI::Option* repeatedOption(CLI::App* cmd, const char* name, std::vector<std::string>& values,
                            const char* help, const char* typeName, const char* group)
{
    return cmd->add_option(name, values, help)
        ->type_name(typeName)
        ->group(group)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
        ->expected(1);
}

// A probe of the network library, asked through it: the finding is the
// answer's words.
Made askedThroughLibrary(OscProbe* probe, const OscProbeNetEntry& net)
{
    return {probe, [probe, &net](Answer& a) {
                const bool go = net.probe(probe, &a.message);
                a.detail = a.message;
                return go;
            }};
}

// An option value the network library must accept: checked by the library
// itself, which is loaded for it.
CLI::Validator netValidator(std::string (*const OscProbeNetEntry::*why)(const std::string&))
{
    return CLI::Validator(
        [why](std::string& text) -> std::string { return (netLibrary().*why)(text); }, "");
}

Made makeNetwork(const std::string&, const ConditionOptions& options)
{
    const OscProbeNetEntry& net = netLibrary();
    OscProbe* probe;
    try {
        probe = net.makeNetwork(std::list<std::string>(options.networks.begin(),
                                                       options.networks.end()));
    } catch (const JxException& e) {
        throw UsageError(e.getMessage());
    }
    return askedThroughLibrary(probe, net);
}

Made makeUnmetered(const std::string&, const ConditionOptions& options)
{
    const OscProbeNetEntry& net = netLibrary();
    OscProbe* probe = net.makeMetered(options.unmetered == "strict");
    return askedThroughLibrary(probe, net);
}

Made makeReachable(const std::string&, const ConditionOptions& options)
{
    const OscProbeNetEntry& net = netLibrary();
    OscProbe* probe;
    try {
        probe = net.makeReachable(
            std::list<std::string>(options.reachable.begin(), options.reachable.end()),
            static_cast<int>(std::lround(options.connectTimeout * 1000)));
    } catch (const JxException& e) {
        throw UsageError(e.getMessage());
    }
    Made made = askedThroughLibrary(probe, net);
    made.ask = [ask = made.ask, timeout = options.connectTimeout](Answer& a) {
        a.figures["connect_timeout_seconds"] = timeout;
        return ask(a);
    };
    return made;
}

// --reachable and the --connect-timeout it takes, for `check`, `wait`, `run`
// and `status` alike.
void reachableOptions(CLI::App* cmd, ConditionOptions& o, const char* help, const char* group)
{
    repeatedOption(cmd, "--reachable", o.reachable, help, "HOST:PORT", group)
        ->check(netValidator(&OscProbeNetEntry::whyInvalidTarget));
    cmd->add_option("--connect-timeout", o.connectTimeout,
                    "Seconds a --reachable connection, its name's lookup included, may take")
        ->type_name("SECONDS")
        ->group(group)
        ->capture_default_str()
        ->check(CLI::Validator(
            [](std::string& text) -> std::string {
                double value;
                if (!parseNumber(text, false, &value) || value < 0.1 || value > 60)
                    return "'" + text + "' is not a number of seconds from 0.1 to 60";
                return std::string();
            },
            ""));
}

Made makeInterfaceKind(const std::string& kind, const ConditionOptions&)
{
    const OscProbeSubNet::IFTYPE type =
        kind == "wired" ? OscProbeSubNet::WIRED : OscProbeSubNet::WIRELESS;
    auto* probe = new OscProbeSubNet(type);
    return {probe, [probe, kind, type](Answer& a) {
                OscProbeSubNet::Match match;
                const bool go = probe->probe(&match);
                a.message = go ? foundAddress(match, "a " + kind + " interface")
                               : "no " + kind + " interface has an address";
                a.detail = interfaceNames(type);
                return go;
            }};
}

Made makeHubmaster(const std::string&, const ConditionOptions&)
{
    auto* hubmaster = new OscProbeHM();
    return {hubmaster, [hubmaster](Answer& a) {
                const bool go = hubmaster->probe();
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
                return go;
            }};
}

Made makeDisk(const std::string&, const ConditionOptions& options)
{
    const double threshold = options.diskBelow;
    const std::vector<std::string> dirs = options.dirs;
    auto* disk = new OscProbeDiskSpace(std::list<std::string>(dirs.begin(), dirs.end()), threshold);
    return {disk, [disk, dirs, threshold](Answer& a) {
                const bool go = disk->probe();
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
                a.figure = oneDecimal(lowest);
                if (go && !below.empty())
                    a.message = below + ", below " + percent(threshold);
                else if (go)
                    a.message =
                        "free space went below " + percent(threshold) + " (now " + figures + ")";
                else
                    a.message =
                        "free space is not below " + percent(threshold) + " (" + figures + ")";
                return go;
            }};
}

// The options of the rows. Those of `check`, `wait` and `run` are grouped
// under CONDITIONS in their --help.
const char* const kGroup = "CONDITIONS";

CLI::Option* percentOption(CLI::App* cmd, const char* name, int& value, const char* help)
{
    return cmd->add_option(name, value, help)->type_name("PCT")->check(percentage(true));
}

// --iface names the kind of two rows; the first of them adds it.
void ifaceOption(CLI::App* cmd, ConditionOptions& o)
{
    if (cmd->get_option_no_throw("--iface") == nullptr)
        repeatedOption(cmd, "--iface", o.ifaces, "Go while an interface of this kind has an address",
                       "wired|wireless", kGroup)
            ->check(CLI::IsMember({"wired", "wireless"}));
}

bool hasKind(const ConditionOptions& o, const char* kind)
{
    return std::find(o.ifaces.begin(), o.ifaces.end(), kind) != o.ifaces.end();
}

} // namespace

// What wakes a host for a condition: only what its probe's start() does (the
// battery's power events; nothing for cpu, hubmaster, disk); an address
// change (the probe's start() joins the watcher, and as the answer rests on
// the interfaces the host also compares their checksum before it waits); or
// the kernel's power-supply events, for which the set registers the monitor
// with OscProbeWake, the probe waking nobody.
enum class Wake { OWN_START, INTERFACES, POWER_EVENTS };

struct ConditionRow {
    const char* name;
    // Adds to `check`, `wait` or `run` the options that ask for it.
    void (*options)(CLI::App* cmd, ConditionOptions& o);
    // Whether the options ask for it.
    bool (*asked)(const ConditionOptions& o);
    // Adds `status`'s options for it and writes its defaults there: `status`
    // shows the row when they ask for it, else only when its option named
    // after the row (--subnet) is given.
    void (*statusOptions)(CLI::App* cmd, ConditionOptions& o);
    Made (*make)(const std::string& name, const ConditionOptions& o);
    Wake wake;
    // What its no-go code means, as `status` and the JSON say it.
    const char* reason;
};

namespace {

// In the order every command evaluates and shows them. `status` shows the
// network rows last, next to the interfaces they rest on.
const ConditionRow kConditions[] = {
    {"cpu",
     [](CLI::App* cmd, ConditionOptions& o) {
         percentOption(cmd, "--cpu", o.cpu,
                       "Go while CPU usage over about the last 30 seconds is at or below PCT "
                       "percent (a one-shot check measures the 2 seconds after it starts)")
             ->group(kGroup);
     },
     [](const ConditionOptions& o) { return o.cpu >= 0; },
     [](CLI::App* cmd, ConditionOptions& o) {
         o.cpu = 80;
         percentOption(cmd, "--cpu-threshold", o.cpu,
                       "CPU usage (percent) up to which the CPU probe says go")
             ->capture_default_str();
     },
     makeCpu, Wake::OWN_START, "CPU usage above the threshold"},
    {"ac", [](CLI::App* cmd, ConditionOptions& o) {
         cmd->add_flag("--ac", o.ac, "Go while the machine runs on AC power")->group(kGroup);
     },
     [](const ConditionOptions& o) { return o.ac; },
     [](CLI::App*, ConditionOptions& o) { o.ac = true; },
     makeAc, Wake::POWER_EVENTS, "running on battery"},
    {"battery",
     [](CLI::App* cmd, ConditionOptions& o) {
         percentOption(cmd, "--battery", o.battery,
                       "Go while on AC power, or while the system batteries hold at least PCT "
                       "percent of their charge together (also go without a system battery)")
             ->group(kGroup);
     },
     [](const ConditionOptions& o) { return o.battery >= 0; },
     [](CLI::App* cmd, ConditionOptions& o) {
         // Half the charge: enough left for the work and then for the user.
         o.battery = 50;
         percentOption(cmd, "--battery-threshold", o.battery,
                       "Charge (percent) from which the battery probe says go on battery power")
             ->capture_default_str();
     },
     makeBattery, Wake::OWN_START, "on battery, charge below the threshold"},
    {"hubmaster",
     [](CLI::App* cmd, ConditionOptions& o) {
         cmd->add_flag("--hubmaster", o.hubmaster,
                       "Go while the settings record the Hubmaster as reachable ([Runtime] "
                       "nHMONLINE)")
             ->group(kGroup);
         cmd->add_option("--settings", o.settingsFile,
                         "Settings file for --hubmaster (default: $OSCPROBE_SETTINGS, else "
                         "/etc/oscprobe/settings.ini); must exist when named")
             ->type_name("FILE")
             ->group(kGroup);
     },
     [](const ConditionOptions& o) { return o.hubmaster; },
     [](CLI::App* cmd, ConditionOptions& o) {
         o.hubmaster = true;
         cmd->add_option("--settings", o.settingsFile,
                         "Settings file holding [Runtime] nHMONLINE (default: $OSCPROBE_SETTINGS, "
                         "else /etc/oscprobe/settings.ini)")
             ->type_name("FILE");
     },
     makeHubmaster, Wake::OWN_START, "Hubmaster unreachable"},
    {"disk",
     [](CLI::App* cmd, ConditionOptions& o) {
         cmd->add_option("--disk-below", o.diskBelow,
                         "Go while some --dir has strictly less than PCT percent free space (space "
                         "available to unprivileged users: df's Avail/Size)")
             ->type_name("PCT")
             ->group(kGroup)
             ->check(percentage(false));
         repeatedOption(cmd, "--dir", o.dirs, "Directory for --disk-below; repeat for several",
                        "DIR", kGroup);
     },
     [](const ConditionOptions& o) { return o.diskBelow >= 0; },
     [](CLI::App* cmd, ConditionOptions& o) {
         o.dirs = {"/"};
         o.diskBelow = 10;
         cmd->add_option("--disk-dir", o.dirs,
                         "Directory whose free space is checked; repeat for several")
             ->type_name("DIR")
             ->capture_default_str();
         cmd->add_option("--disk-threshold", o.diskBelow,
                         "The disk probe says go when some directory has less than this many "
                         "percent free")
             ->type_name("PCT")
             ->capture_default_str()
             ->check(percentage(false));
     },
     makeDisk, Wake::OWN_START, "no directory has less free space than the threshold"},
    {"wired", ifaceOption, [](const ConditionOptions& o) { return hasKind(o, "wired"); },
     [](CLI::App*, ConditionOptions& o) { o.ifaces.push_back("wired"); },
     makeInterfaceKind, Wake::INTERFACES, "no wired interface"},
    {"wireless", ifaceOption, [](const ConditionOptions& o) { return hasKind(o, "wireless"); },
     [](CLI::App*, ConditionOptions& o) { o.ifaces.push_back("wireless"); },
     makeInterfaceKind, Wake::INTERFACES, "no wireless interface"},
    {"subnet",
     [](CLI::App* cmd, ConditionOptions& o) {
         repeatedOption(cmd, "--subnet", o.subnets,
                        "Go while some interface has an address in CIDR (address/bits, IPv4 or "
                        "IPv6); repeat for several, any one will do",
                        "CIDR", kGroup);
     },
     [](const ConditionOptions& o) { return !o.subnets.empty(); },
     [](CLI::App* cmd, ConditionOptions& o) {
         cmd->add_option("--subnet", o.subnets,
                         "Also check for an address in this subnet (address/bits); repeat for "
                         "several")
             ->type_name("CIDR");
     },
     makeSubnet, Wake::INTERFACES, "no address in the wanted subnets"},
    {"network",
     [](CLI::App* cmd, ConditionOptions& o) {
         repeatedOption(cmd, "--network", o.networks,
                        "Go while the machine is on a known network: ID is its default "
                        "gateway's hardware address (aa:bb:cc:dd:ee:ff, as `oscprobe network` "
                        "prints it) or ssid:NAME, its Wi-Fi name; repeat for several, any one "
                        "will do",
                        "ID", kGroup)
             ->check(netValidator(&OscProbeNetEntry::whyInvalidNetwork));
     },
     [](const ConditionOptions& o) { return !o.networks.empty(); },
     [](CLI::App* cmd, ConditionOptions& o) {
         cmd->add_option("--network", o.networks,
                         "Also check for this network (gateway hardware address, or "
                         "ssid:NAME); repeat for several")
             ->type_name("ID")
             ->check(netValidator(&OscProbeNetEntry::whyInvalidNetwork));
     },
     makeNetwork, Wake::OWN_START, "not on a known network"},
    {"unmetered",
     [](CLI::App* cmd, ConditionOptions& o) {
         // A flag with an optional value: bare, or =strict.
         cmd->add_flag("--unmetered{lenient}", o.unmetered,
                       "Go while the connection is not metered (NetworkManager's Metered); "
                       "unknown, or no NetworkManager, counts as not metered, and as metered "
                       "with --unmetered=strict")
             ->group(kGroup)
             ->check(CLI::Validator(
                 [](std::string& text) -> std::string {
                     return text == "lenient" || text == "strict"
                                ? std::string()
                                : "'" + text + "' is not strict (give --unmetered alone, or "
                                               "--unmetered=strict)";
                 },
                 ""));
     },
     [](const ConditionOptions& o) { return !o.unmetered.empty(); },
     [](CLI::App*, ConditionOptions& o) { o.unmetered = "lenient"; },
     makeUnmetered, Wake::OWN_START, "connection metered"},
    {"reachable",
     [](CLI::App* cmd, ConditionOptions& o) {
         reachableOptions(cmd, o,
                          "Go while a TCP connection to HOST:PORT completes (names resolved as "
                          "the system does; [IPv6]:PORT); repeat for several, any one will do",
                          kGroup);
     },
     [](const ConditionOptions& o) { return !o.reachable.empty(); },
     [](CLI::App* cmd, ConditionOptions& o) {
         reachableOptions(cmd, o, "Also check whether HOST:PORT answers; repeat for several",
                          "Options");
     },
     makeReachable, Wake::OWN_START, "no target reachable"},
};

const ConditionRow* findRow(const std::string& name)
{
    for (const ConditionRow& row : kConditions)
        if (name == row.name)
            return &row;
    return nullptr;
}

} // namespace

std::vector<std::string> conditionNames()
{
    std::vector<std::string> names;
    for (const ConditionRow& row : kConditions)
        names.push_back(row.name);
    return names;
}

void addConditionOptions(CLI::App* command, ConditionOptions& options)
{
    for (const ConditionRow& row : kConditions)
        row.options(command, options);
}

void addStatusOptions(CLI::App* command, ConditionOptions& options)
{
    for (const ConditionRow& row : kConditions)
        row.statusOptions(command, options);
}

std::string statusShows()
{
    ConditionOptions defaults;
    CLI::App scratch;
    addStatusOptions(&scratch, defaults);
    std::vector<std::string> shown, others;
    for (const ConditionRow& row : kConditions)
        (row.asked(defaults) ? shown : others).push_back(row.name);
    std::string text = joined(shown, ", ");
    for (const std::string& name : others)
        text += "; " + name + " with --" + name;
    return text;
}

std::vector<std::string> namedConditions(const ConditionOptions& options)
{
    if (options.diskBelow >= 0 && options.dirs.empty())
        throw UsageError("--disk-below needs at least one --dir");
    if (options.diskBelow < 0 && !options.dirs.empty())
        throw UsageError("--dir needs --disk-below");
    std::vector<std::string> names;
    for (const ConditionRow& row : kConditions)
        if (row.asked(options))
            names.push_back(row.name);
    return names;
}

ConditionSet::ConditionSet(const ConditionOptions& options, const std::vector<std::string>& names)
{
    if (!options.settingsFile.empty()) {
        checkSettingsFile(options.settingsFile);
        JXPlatformInfo::setSettingsFile(options.settingsFile);
    }
    for (const std::string& name : names) {
        const ConditionRow* row = findRow(name);
        if (row == nullptr)
            continue;
        Made made = row->make(name, options);
        // Held from here on, so a throw in a later constructor releases it.
        conditions_.push_back(Condition{row, SP<OscProbe>(made.probe), std::move(made.ask)});
        watchesInterfaces_ = watchesInterfaces_ || row->wake == Wake::INTERFACES;
        watchesPower_ = watchesPower_ || row->wake == Wake::POWER_EVENTS;
    }
    if (conditions_.empty())
        throw UsageError("no condition given");
}

ConditionSet::~ConditionSet() { stop(); }

bool ConditionSet::start(JxMonitor* monitor, std::string* problem)
{
    bool wakes = false;
    // One try for each: a wake source that cannot start leaves the others.
    auto attempt = [&](const std::function<bool()>& start) {
        try {
            wakes = start() || wakes;
        } catch (const JxException& e) {
            *problem = std::string(e.getFuncName()) + ": " + e.getMessage();
        } catch (const std::exception& e) {
            *problem = e.what();
        }
    };
    if (watchesPower_) {
        // Registered even when the listener's thread could not be made, so
        // stop() withdraws it in every case.
        powerWatched_ = monitor;
        attempt([monitor] { return OscProbeWake::watchPower(monitor); });
    }
    for (Condition& c : conditions_)
        attempt([&c, monitor] { return c.probe->start(monitor); });
    return wakes;
}

void ConditionSet::stop()
{
    for (Condition& c : conditions_)
        c.probe->stop();
    if (powerWatched_ != nullptr)
        OscProbeWake::unwatchPower(powerWatched_);
    powerWatched_ = nullptr;
}

std::vector<Answer> ConditionSet::evaluate()
{
    std::vector<Answer> answers;
    answers.reserve(conditions_.size());
    for (Condition& c : conditions_) {
        Answer a;
        a.condition = c.row->name;
        try {
            if (c.ask(a)) {
                a.state = Answer::GO;
            } else {
                a.state = Answer::NO_GO;
                a.code = c.probe->getNoGoReason();
                a.reason = c.row->reason;
            }
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
