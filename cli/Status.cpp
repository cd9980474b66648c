// `oscprobe status`: the conditions the table gives defaults for (see
// addStatusOptions), one row each with the figures behind its answer, and
// the interfaces the network rows rest on.
#include <stdio.h>

#include <algorithm>
#include <list>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "Commands.h"
#include "Conditions.h"
#include "Errors.h"
#include "Report.h"
#include "Text.h"
#include "oscprobe.h"

namespace oscprobe_cli {

namespace {

void printJson(const std::vector<Answer>& answers, bool showNetwork,
               const std::list<OscProbeSubNet::Iface>& ifaces, const std::string& ifaceError,
               int status)
{
    nlohmann::ordered_json doc;
    doc["conditions"] = nlohmann::ordered_json::array();
    for (const Answer& a : answers)
        doc["conditions"].push_back(answerJson(a));
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
            printf("  [%s %s]", hexCode(a.code).c_str(), a.reason.c_str());
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
    // The rows the defaults ask for; --probe picks some of them, and a row
    // that has no defaults (subnet) only with its own option.
    const std::vector<std::string> shown = namedConditions(options.conditions);
    auto among = [](const std::vector<std::string>& list, const std::string& name) {
        return std::find(list.begin(), list.end(), name) != list.end();
    };
    for (const std::string& name : options.only)
        if (!among(shown, name))
            throw UsageError("--probe " + name + " needs --" + name);
    std::vector<std::string> names;
    for (const std::string& name : shown)
        if (options.only.empty() || among(options.only, name))
            names.push_back(name);

    ConditionSet conditions(options.conditions, names);
    const std::vector<Answer> answers = conditions.evaluate();
    const int status = exitStatus(answers);

    // The interface list backs the network rows; without them it is noise.
    const bool showNetwork = conditions.watchesInterfaces();
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
