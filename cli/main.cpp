// oscprobe: evaluates the condition probes on this machine.
//
//   oscprobe status [options]   one line per probe: go / no-go and why
//   oscprobe ifaces [--json]    the interfaces as the network probe sees them
#include <CLI/CLI.hpp>

#include "Commands.h"
#include "EvDebug.h"

#ifndef OSCPROBE_VERSION
#define OSCPROBE_VERSION "unknown"
#endif

int main(int argc, char** argv)
{
    CLI::App app{"oscprobe " OSCPROBE_VERSION
                 ": asks the condition probes whether background work may go ahead."};
    app.set_version_flag("--version", "oscprobe " OSCPROBE_VERSION);
    app.require_subcommand(1);

    bool verbose = false;
    app.add_flag("-v,--verbose", verbose, "Show the library's detailed log lines on standard error");

    oscprobe_cli::StatusOptions status;
    CLI::App* statusCmd = app.add_subcommand(
        "status", "Evaluate every probe once. Exit status: 0 all go, 1 some no-go, 2 a probe failed");
    statusCmd->add_option("--cpu-threshold", status.cpuThreshold,
                          "CPU usage (percent) up to which the CPU probe says go")
        ->capture_default_str();
    statusCmd->add_option("--settings", status.settingsFile,
                          "Settings file holding [Runtime] nHMONLINE (default: $OSCPROBE_SETTINGS, "
                          "else /etc/oscprobe/settings.ini)");
    statusCmd->add_option("--disk-dir", status.diskDirs,
                          "Directory whose free space is checked; repeat for several")
        ->capture_default_str();
    statusCmd->add_option("--disk-threshold", status.diskThreshold,
                          "The disk probe says go when some directory has less than this many "
                          "percent free")
        ->capture_default_str();
    statusCmd->add_option("--subnet", status.subnets,
                          "Also check for an address in this subnet (address/bits); repeat for several");
    statusCmd->add_option("--probe", status.only,
                          "Evaluate only this probe; repeat for several (the exit status then "
                          "speaks for these alone)")
        ->check(CLI::IsMember({"cpu", "ac", "hubmaster", "disk", "wired", "wireless", "subnet"}));
    statusCmd->add_flag("--json", status.json, "Print one JSON document instead of lines");

    bool ifacesJson = false;
    CLI::App* ifacesCmd =
        app.add_subcommand("ifaces", "List the interfaces, their kinds and addresses, and the "
                                     "configuration checksum");
    ifacesCmd->add_flag("--json", ifacesJson, "Print one JSON document instead of lines");

    CLI11_PARSE(app, argc, argv);

    if (verbose)
        EvDebug::setDebugLevel(2);

    if (*statusCmd)
        return oscprobe_cli::runStatus(status);
    return oscprobe_cli::runIfaces(ifacesJson);
}
