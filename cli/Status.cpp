// `oscprobe status`: one row per probe, with the figure behind its answer.
#include <stdio.h>

#include <algorithm>
#include <list>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "Commands.h"
#include "Conditions.h"
#include "Text.h"
#include "oscprobe.h"

namespace oscprobe_cli {

namespace {

const char* reasonText(OscProbeReason code)
{
    switch (code) {
    case OSCPROBE_REASON_AC:
        return "running on battery";
    case OSCPROBE_REASON_CPU:
        return "CPU usage above the threshold";
    case OSCPROBE_REASON_HUBMASTER:
        return "Hubmaster unreachable";
    case OSCPROBE_REASON_DISKSPACE:
        return "no directory has less free space than the threshold";
    case OSCPROBE_REASON_SUBNET:
        return "no address in the wanted subnets";
    case OSCPROBE_REASON_NO_WIRED:
        return "no wired interface";
    case OSCPROBE_REASON_NO_WIRELESS:
        return "no wireless interface";
    default:
        return "unknown reason";
    }
}

std::string percent(double value, int decimals)
{
    char buf[64];
    snprintf(buf, sizeof buf, "%.*f%%", decimals, value);
    return buf;
}

struct Row {
    std::string name;
    enum State { GO, NO_GO, FAILED } state = FAILED;
    std::string detail;
    OscProbeReason reason = 0;
    nlohmann::ordered_json figures = nlohmann::ordered_json::object();
};

// Runs one probe and fills the answer; `describe` adds the figure. A probe
// that throws becomes a failed row carrying the library's message.
template <class Describe>
Row evaluate(const std::string& name, OscProbe* probe, Describe describe)
{
    Row row;
    row.name = name;
    try {
        bool go = probe->probe();
        row.state = go ? Row::GO : Row::NO_GO;
        if (!go)
            row.reason = probe->getNoGoReason();
        describe(row);
    } catch (const JxException& e) {
        row.state = Row::FAILED;
        row.detail = std::string(e.getFuncName()) + ": " + e.getMessage();
    } catch (const std::exception& e) {
        row.state = Row::FAILED;
        row.detail = e.what();
    }
    return row;
}

std::string ifaceNames(const std::list<OscProbeSubNet::Iface>& ifaces, OscProbeSubNet::IFTYPE kind)
{
    std::string names;
    for (const auto& i : ifaces)
        if (i.type == kind)
            names += (names.empty() ? "" : ", ") + i.name;
    return names.empty() ? "none" : names;
}

} // namespace

int runStatus(const StatusOptions& options)
{
    if (!options.settingsFile.empty()) {
        checkSettingsFile(options.settingsFile);
        JXPlatformInfo::setSettingsFile(options.settingsFile);
    }

    std::vector<Row> rows;
    auto wanted = [&](const char* name) {
        return options.only.empty() ||
               std::find(options.only.begin(), options.only.end(), name) != options.only.end();
    };

    // Made first: a definition the library rejects is bad input, found
    // before any probe has run.
    SP<OscProbeSubNet> subnet;
    if (!options.subnets.empty() && wanted("subnet")) {
        try {
            subnet = new OscProbeSubNet(
                std::list<std::string>(options.subnets.begin(), options.subnets.end()));
        } catch (const JxException& e) {
            throw UsageError(e.getMessage());
        }
    }

    if (wanted("cpu")) {
        SP<OscProbeCPU> cpu(new OscProbeCPU(options.cpuThreshold));
        rows.push_back(evaluate("cpu", cpu, [&](Row& r) {
            r.detail = "usage " + percent(static_cast<double>(cpu->getLastUsage()), 0) +
                       " over the last half minute (go up to " +
                       std::to_string(options.cpuThreshold) + "%)";
            r.figures["usage_percent"] = cpu->getLastUsage();
            r.figures["threshold_percent"] = options.cpuThreshold;
        }));
    }

    if (wanted("ac")) {
        SP<OscProbeAC> ac(new OscProbeAC());
        rows.push_back(evaluate("ac", ac, [&](Row& r) {
            r.detail = acFinding(*ac, r.state == Row::GO);
        }));
    }

    if (wanted("hubmaster")) {
        SP<OscProbeHM> hm(new OscProbeHM());
        const std::string file = JXPlatformInfo::getSettingsFile();
        rows.push_back(evaluate("hubmaster", hm, [&](Row& r) {
            std::string value, why;
            bool found = JXPlatformInfo().getString("Runtime", "nHMONLINE", &value, &why) != 0;
            r.detail = found         ? "nHMONLINE=" + value + " in " + file
                       : why.empty() ? "nHMONLINE not set in " + file
                                     : unreadableSettings(file, why);
            r.figures["settings_file"] = file;
            if (found)
                r.figures["nHMONLINE"] = value;
        }));
    }

    if (wanted("disk")) {
        std::list<std::string> dirs(options.diskDirs.begin(), options.diskDirs.end());
        SP<OscProbeDiskSpace> disk(new OscProbeDiskSpace(dirs, options.diskThreshold));
        rows.push_back(evaluate("disk", disk, [&](Row& r) {
            // The figures of every directory, not only those the probe's
            // early stop looked at.
            for (const std::string& dir : dirs) {
                double free = disk->getFreeSpacePercent(dir);
                r.detail += (r.detail.empty() ? "" : ", ") + dir + " " + percent(free, 1) + " free";
                r.figures["free_percent"][dir] = free;
            }
            r.detail += " (go below " + percent(options.diskThreshold, 1) + ")";
            r.figures["threshold_percent"] = options.diskThreshold;
        }));
    }

    // The interface list backs the network rows; without them it is noise.
    const bool showNetwork = wanted("wired") || wanted("wireless") ||
                             (!options.subnets.empty() && wanted("subnet"));
    std::list<OscProbeSubNet::Iface> ifaces;
    std::string ifaceError;
    if (showNetwork) {
        try {
            ifaces = OscProbeSubNet::getIFList();
        } catch (const JxException& e) {
            ifaceError = std::string(e.getFuncName()) + ": " + e.getMessage();
        }
    }

    for (OscProbeSubNet::IFTYPE kind : {OscProbeSubNet::WIRED, OscProbeSubNet::WIRELESS}) {
        const std::string name = kind == OscProbeSubNet::WIRED ? "wired" : "wireless";
        if (!wanted(name.c_str()))
            continue;
        SP<OscProbeSubNet> net(new OscProbeSubNet(kind));
        rows.push_back(evaluate(name, net, [&](Row& r) { r.detail = ifaceNames(ifaces, kind); }));
    }

    if (subnet) {
        rows.push_back(evaluate("subnet", subnet, [&](Row& r) {
            const std::string list = joined(options.subnets, " or ");
            r.detail = r.state == Row::GO ? foundAddress(*subnet, list) : "no address in " + list;
        }));
    }

    int status = EXIT_ALL_GO;
    for (const Row& r : rows) {
        if (r.state == Row::FAILED)
            status = EXIT_PROBE_FAILED;
        else if (r.state == Row::NO_GO && status == EXIT_ALL_GO)
            status = EXIT_NO_GO;
    }

    if (options.json) {
        nlohmann::ordered_json doc;
        doc["probes"] = nlohmann::ordered_json::array();
        for (const Row& r : rows) {
            nlohmann::ordered_json p;
            p["name"] = r.name;
            p["state"] = r.state == Row::GO ? "go" : (r.state == Row::NO_GO ? "no-go" : "error");
            p["detail"] = r.detail;
            if (r.state == Row::NO_GO) {
                p["reason"] = r.reason;
                p["reason_hex"] = hexCode(r.reason);
                p["reason_text"] = reasonText(r.reason);
            }
            if (!r.figures.empty())
                p["figures"] = r.figures;
            doc["probes"].push_back(p);
        }
        if (showNetwork) {
            nlohmann::ordered_json list = nlohmann::ordered_json::array();
            for (const auto& i : ifaces)
                list.push_back({{"name", i.name}, {"kind", OscProbeSubNet::iftype2str(i.type)}});
            doc["interfaces"] = list;
            if (!ifaceError.empty())
                doc["interfaces_error"] = ifaceError;
        }
        doc["exit_status"] = status;
        printf("%s\n", jsonText(doc, 2).c_str());
        return status;
    }

    for (const Row& r : rows) {
        const char* state = r.state == Row::GO ? "go" : (r.state == Row::NO_GO ? "no-go" : "error");
        printf("%-10s %-6s %s", r.name.c_str(), state, printable(r.detail).c_str());
        if (r.state == Row::NO_GO)
            printf("  [%s %s]", hexCode(r.reason).c_str(), reasonText(r.reason));
        printf("\n");
    }
    if (showNetwork) {
        std::string list;
        for (const auto& i : ifaces)
            list += (list.empty() ? "" : ", ") + i.name + " (" +
                    OscProbeSubNet::iftype2str(i.type) + ")";
        if (!ifaceError.empty())
            list = "error: " + ifaceError;
        printf("%-10s %s\n", "interfaces", list.empty() ? "none" : printable(list).c_str());
    }
    return status;
}

} // namespace oscprobe_cli
