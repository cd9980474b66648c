// `oscprobe status`: the default set of conditions, one row per probe with
// the figures behind its answer, and the interfaces the network rows rest
// on.
#include <stdio.h>

#include <algorithm>
#include <list>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "Commands.h"
#include "Conditions.h"
#include "Report.h"
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

void printJson(const std::vector<Answer>& answers, bool showNetwork,
               const std::list<OscProbeSubNet::Iface>& ifaces, const std::string& ifaceError,
               int status)
{
    nlohmann::ordered_json doc;
    doc["probes"] = nlohmann::ordered_json::array();
    for (const Answer& a : answers) {
        nlohmann::ordered_json p;
        p["name"] = a.condition;
        p["state"] = stateName(a.state);
        p["detail"] = a.detail;
        if (a.state == Answer::NO_GO) {
            p["reason"] = a.code;
            p["reason_hex"] = hexCode(a.code);
            p["reason_text"] = reasonText(a.code);
        }
        if (!a.figures.empty())
            p["figures"] = a.figures;
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
}

void printText(const std::vector<Answer>& answers, bool showNetwork,
               const std::list<OscProbeSubNet::Iface>& ifaces, const std::string& ifaceError)
{
    for (const Answer& a : answers) {
        printf("%-10s %-6s %s", a.condition.c_str(), stateName(a.state),
               printable(a.detail).c_str());
        if (a.state == Answer::NO_GO)
            printf("  [%s %s]", hexCode(a.code).c_str(), reasonText(a.code));
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
}

} // namespace

int runStatus(const StatusOptions& options)
{
    ConditionOptions defaults;
    defaults.cpu = options.cpuThreshold;
    defaults.subnets = options.subnets;
    defaults.settingsFile = options.settingsFile;
    defaults.diskBelow = options.diskThreshold;
    defaults.dirs = options.diskDirs;

    auto wanted = [&](const char* name) {
        return options.only.empty() ||
               std::find(options.only.begin(), options.only.end(), name) != options.only.end();
    };
    std::vector<std::string> names;
    for (const char* name : {"cpu", "ac", "hubmaster", "disk", "wired", "wireless", "subnet"})
        if (wanted(name) && (name != std::string("subnet") || !options.subnets.empty()))
            names.push_back(name);

    ConditionSet conditions(defaults, names);
    const std::vector<Answer> answers = conditions.evaluate();
    const int status = exitStatus(answers);

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

    if (options.json)
        printJson(answers, showNetwork, ifaces, ifaceError, status);
    else
        printText(answers, showNetwork, ifaces, ifaceError);
    return status;
}

} // namespace oscprobe_cli
