// oscprobe: evaluates the condition probes on this machine, and waits for
// them on behalf of a job.
//
//   oscprobe status [options]            every probe, with its figure
//   oscprobe check CONDITIONS            each condition once
//   oscprobe wait CONDITIONS             until all say go
//   oscprobe run CONDITIONS -- COMMAND   wait, then become COMMAND
//   oscprobe ifaces                      the interfaces the network probe sees
#include <ctype.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <exception>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "Commands.h"
#include "Errors.h"
#include "ProbeLog.h"
#include "Text.h"

#ifndef OSCPROBE_VERSION
#define OSCPROBE_VERSION "unknown"
#endif

namespace {

using oscprobe_cli::ConditionOptions;
using oscprobe_cli::WaitOptions;

// A number from the command line, whole: "80" but not "80x", " 80" or "".
bool parseNumber(const std::string& text, bool whole, double* value)
{
    if (text.empty() || isspace(static_cast<unsigned char>(text[0])))
        return false;
    char* end = nullptr;
    errno = 0;
    const double parsed = whole ? static_cast<double>(strtol(text.c_str(), &end, 10))
                                : strtod(text.c_str(), &end);
    if (*end != '\0' || errno != 0 || parsed != parsed)
        return false;
    *value = parsed;
    return true;
}

// Validators whose messages say what was wanted, in the tool's words.
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

// Seconds from `least` up. An interval below a tenth of a second would only
// spin: the probes list interfaces and read files at every evaluation.
CLI::Validator seconds(double least)
{
    return CLI::Validator(
        [least](std::string& text) -> std::string {
            double value;
            if (!parseNumber(text, false, &value) || value < least || value > 1e9)
                return "'" + text + "' is not a number of seconds" +
                       (least > 0 ? " of at least " + CLI::detail::to_string(least) : "");
            return std::string();
        },
        "");
}

void addConditionOptions(CLI::App* cmd, ConditionOptions& c)
{
    cmd->add_option("--cpu", c.cpu,
                    "Go while CPU usage over about the last 30 seconds is at or below PCT percent "
                    "(a one-shot check measures the 2 seconds after it starts)")
        ->type_name("PCT")
        ->check(percentage(true));
    cmd->add_flag("--ac", c.ac, "Go while the machine runs on AC power");
    cmd->add_option("--battery", c.battery,
                    "Go while on AC power, or while the system batteries hold at least PCT "
                    "percent of their charge together (also go without a system battery)")
        ->type_name("PCT")
        ->check(percentage(true));
    cmd->add_option("--subnet", c.subnets,
                    "Go while some interface has an address in CIDR (address/bits, IPv4 or IPv6); "
                    "repeat for several, any one will do")
        ->type_name("CIDR")
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
        ->expected(1);
    cmd->add_option("--iface", c.ifaces, "Go while an interface of this kind has an address")
        ->type_name("wired|wireless")
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
        ->expected(1)
        ->check(CLI::IsMember({"wired", "wireless"}));
    cmd->add_flag("--hubmaster", c.hubmaster,
                  "Go while the settings record the Hubmaster as reachable ([Runtime] nHMONLINE)");
    cmd->add_option("--settings", c.settingsFile,
                    "Settings file for --hubmaster (default: $OSCPROBE_SETTINGS, else "
                    "/etc/oscprobe/settings.ini); must exist when named")
        ->type_name("FILE");
    cmd->add_option("--disk-below", c.diskBelow,
                    "Go while some --dir has strictly less than PCT percent free space (space "
                    "available to unprivileged users: df's Avail/Size)")
        ->type_name("PCT")
        ->check(percentage(false));
    cmd->add_option("--dir", c.dirs, "Directory for --disk-below; repeat for several")
        ->type_name("DIR")
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
        ->expected(1);
}

// Seconds, or "infinity": for ever, as without the option (-1 inside).
CLI::Validator timeoutSeconds()
{
    const CLI::Validator plain = seconds(0);
    return CLI::Validator(
        [plain](std::string& text) -> std::string {
            if (text != "infinity")
                return plain(text);
            text = "-1";
            return std::string();
        },
        "");
}

constexpr double kShortestInterval = 0.1;

void addWaitOptions(CLI::App* cmd, WaitOptions& w)
{
    cmd->add_option("--timeout", w.timeout,
                    "Give up after SECONDS with exit status 1; 0 evaluates once, infinity waits "
                    "for ever (the default)")
        ->type_name("SECONDS")
        ->transform(timeoutSeconds());
    cmd->add_option("--interval", w.interval,
                    "Re-evaluate every SECONDS when nothing wakes the wait earlier")
        ->type_name("SECONDS")
        ->capture_default_str()
        ->check(seconds(kShortestInterval));
    cmd->add_flag("-q,--quiet", w.quiet, "No live status line on a terminal");
    cmd->add_flag("--json", w.json, "Print every evaluation as one JSON object per line");
}

// CLI11's messages, as one line of the tool's own.
int usageError(const std::string& command, const std::string& message)
{
    std::string line = message;
    for (char& ch : line)
        if (ch == '\n')
            ch = ' ';
    while (!line.empty() && line.back() == ' ')
        line.pop_back();
    fprintf(stderr, "oscprobe%s%s: %s (see oscprobe%s%s --help)\n", command.empty() ? "" : " ",
            command.c_str(), oscprobe_cli::printable(line).c_str(), command.empty() ? "" : " ",
            command.c_str());
    return oscprobe_cli::EXIT_USAGE;
}

const char* kConditionsFooter =
    "\nCONDITIONS: any of --cpu, --ac, --battery, --subnet, --iface, --hubmaster, --disk-below with --dir; "
    "all must say go.\nExit status: 0 all go, 1 some no-go";

// A descriptor 0, 1 or 2 that is closed at start would go to the next file
// or socket opened, the watcher's say, and output would land in it. False
// when even /dev/null cannot stand in.
bool standardDescriptorsOpen()
{
    for (int fd = 0; fd <= 2; ++fd)
        if (fcntl(fd, F_GETFD) < 0 && open("/dev/null", O_RDWR | O_NOCTTY) != fd)
            return false;
    return true;
}

// Runs the command chosen; throws what it throws.
int dispatch(int argc, char** argv);

// Whether `check --exec-condition` was asked for, before the arguments are
// parsed: bad arguments must then fail the unit too.
bool execConditionAsked(int argc, char** argv)
{
    for (int i = 1; i < argc && strcmp(argv[i], "--") != 0; ++i)
        if (strcmp(argv[i], "--exec-condition") == 0)
            return true;
    return false;
}

int run(int argc, char** argv)
{
    if (!standardDescriptorsOpen())
        return oscprobe_cli::EXIT_PROBE_FAILED;
    int status;
    try {
        status = dispatch(argc, argv);
    } catch (const std::exception& e) {
        // Out of memory, say: one line, never an abort.
        fprintf(stderr, "oscprobe: error: %s\n", e.what());
        return oscprobe_cli::EXIT_PROBE_FAILED;
    }
    // Output that did not reach its file is an error, as for any tool; a
    // command that failed for it has said so already.
    if (!oscprobe_cli::flushed(stdout) && status != oscprobe_cli::EXIT_PROBE_FAILED) {
        fprintf(stderr, "oscprobe: can't write standard output: %s\n", strerror(errno));
        return oscprobe_cli::EXIT_PROBE_FAILED;
    }
    return status;
}

} // namespace

int main(int argc, char** argv)
{
    const int status = run(argc, argv);
    // systemd skips a unit whose ExecCondition= exits 1 to 254 and fails it
    // only on 255: a typo or a broken probe must not skip the job for ever.
    if (execConditionAsked(argc, argv) &&
        (status == oscprobe_cli::EXIT_USAGE || status == oscprobe_cli::EXIT_PROBE_FAILED))
        return oscprobe_cli::EXIT_FAILS_UNIT;
    return status;
}

namespace {

int dispatch(int argc, char** argv)
{
    CLI::App app{"oscprobe " OSCPROBE_VERSION
                 ": asks the condition probes whether background work may go ahead."};
    app.set_version_flag("--version", "oscprobe " OSCPROBE_VERSION);
    app.require_subcommand(1);
    app.fallthrough();
    app.footer("\nExamples:\n"
               "  oscprobe status\n"
               "  oscprobe check --ac --cpu 50\n"
               "  oscprobe run --ac --subnet 10.20.0.0/16 --cpu 60 -- /usr/local/bin/backup\n"
               "\nSee `oscprobe COMMAND --help` and man oscprobe.");

    bool verbose = false;
    std::string logFile;
    app.add_flag("-v,--verbose", verbose, "Show the library's detailed (level 2) log lines on "
                                          "standard error");
    app.add_option("--log", logFile, "Write the library's log to FILE (appended) instead")
        ->type_name("FILE");

    oscprobe_cli::StatusOptions status;
    CLI::App* statusCmd = app.add_subcommand(
        "status", "Evaluate every probe once, with defaults. Exit status: 0 all go, 1 some no-go, "
                  "3 a probe failed");
    statusCmd->add_option("--cpu-threshold", status.cpuThreshold,
                          "CPU usage (percent) up to which the CPU probe says go")
        ->type_name("PCT")
        ->capture_default_str()
        ->check(percentage(true));
    statusCmd->add_option("--settings", status.settingsFile,
                          "Settings file holding [Runtime] nHMONLINE (default: $OSCPROBE_SETTINGS, "
                          "else /etc/oscprobe/settings.ini)");
    statusCmd->add_option("--disk-dir", status.diskDirs,
                          "Directory whose free space is checked; repeat for several")
        ->capture_default_str();
    statusCmd->add_option("--disk-threshold", status.diskThreshold,
                          "The disk probe says go when some directory has less than this many "
                          "percent free")
        ->type_name("PCT")
        ->capture_default_str()
        ->check(percentage(false));
    statusCmd->add_option("--subnet", status.subnets,
                          "Also check for an address in this subnet (address/bits); repeat for several");
    statusCmd->add_option("--probe", status.only,
                          "Evaluate only this probe; repeat for several (the exit status then "
                          "speaks for these alone)")
        ->check(CLI::IsMember({"cpu", "ac", "hubmaster", "disk", "wired", "wireless", "subnet"}));
    statusCmd->add_flag("--json", status.json, "Print one JSON document instead of lines");
    statusCmd->footer("\nExample:\n  oscprobe status --disk-dir /var/backups --subnet 10.0.0.0/8");

    ConditionOptions conditions;
    WaitOptions waitOptions;
    bool checkJson = false;

    CLI::App* checkCmd = app.add_subcommand("check", "Evaluate every named condition once");
    addConditionOptions(checkCmd, conditions);
    checkCmd->add_flag("--json", checkJson, "Print the evaluation as one JSON object");
    bool execCondition = false;
    checkCmd->add_flag("--exec-condition", execCondition,
                       "Exit 255 for bad input or a failed probe, as systemd's ExecCondition= "
                       "wants (1 to 254 only skip the unit)");
    checkCmd->footer(std::string(kConditionsFooter) +
                     ", 2 bad input, 3 a probe failed.\n\nExample:\n"
                     "  oscprobe check --ac --cpu 50 --disk-below 90 --dir /var/backups");

    CLI::App* waitCmd =
        app.add_subcommand("wait", "Block until every named condition says go; an address "
                                   "coming up is noticed at once");
    addConditionOptions(waitCmd, conditions);
    addWaitOptions(waitCmd, waitOptions);
    waitCmd->footer(std::string(kConditionsFooter) +
                    " (timed out), 2 bad input, 3 a probe failed, 130/143 after SIGINT/SIGTERM.\n"
                    "\nExample:\n  oscprobe wait --subnet 10.20.0.0/16 --timeout 3600");

    CLI::App* runCmd = app.add_subcommand(
        "run", "Wait as `wait` does, then replace oscprobe with COMMAND (not through a shell)");
    addConditionOptions(runCmd, conditions);
    addWaitOptions(runCmd, waitOptions);
    runCmd->add_option("command", waitOptions.command, "The command and its arguments, after --")
        ->type_name("COMMAND [ARGS...]");
    runCmd->add_flag("--hold", waitOptions.hold,
                     "Run COMMAND as a job and keep evaluating: stop it (SIGSTOP to its process "
                     "group) while a condition says no-go, continue it when all say go again");
    runCmd->add_option("--hold-limit", waitOptions.holdLimit,
                       "End a job held longer than SECONDS (SIGTERM, then SIGKILL 10 s later)")
        ->type_name("SECONDS")
        ->check(seconds(0));
    runCmd->footer(std::string(kConditionsFooter) +
                   " (timed out; COMMAND not run), 2 bad input, 3 a probe failed, 130/143 after "
                   "SIGINT/SIGTERM; otherwise COMMAND's own.\n\nExamples:\n"
                   "  oscprobe run --ac --cpu 60 -- rsync -a /home/ /mnt/backup/\n"
                   "  oscprobe run --hold --battery 50 -- rsync -a /home/ /mnt/backup/");

    bool ifacesJson = false;
    CLI::App* ifacesCmd =
        app.add_subcommand("ifaces", "List the interfaces, their kinds and addresses, and the "
                                     "configuration checksum");
    ifacesCmd->add_flag("--json", ifacesJson, "Print one JSON document instead of lines");
    ifacesCmd->footer("\nExample:\n  oscprobe ifaces --json");

    // Everything after the first "--" is the command of `run`, passed on
    // untouched: its own options are none of ours.
    int ownArgs = argc;
    std::vector<std::string> tail;
    for (int i = 1; i < argc; ++i)
        if (strcmp(argv[i], "--") == 0) {
            ownArgs = i;
            tail.assign(argv + i + 1, argv + argc);
            break;
        }

    try {
        app.parse(ownArgs, argv);
    } catch (const CLI::ParseError& e) {
        if (e.get_exit_code() == 0)
            return app.exit(e); // --help, --version
        std::string command;
        for (CLI::App* sub : app.get_subcommands())
            command = sub->get_name();
        return usageError(command, e.what());
    }

    if (!oscprobe_cli::ProbeLog::configure(verbose, logFile))
        return usageError("", "can't open log file " + logFile + ": " + strerror(errno));

    const std::string command = app.get_subcommands().front()->get_name();
    try {
        if (!*runCmd && ownArgs < argc)
            throw oscprobe_cli::UsageError("only run takes a command after --");
        if (*statusCmd) {
            if (status.subnets.empty() &&
                std::find(status.only.begin(), status.only.end(), "subnet") != status.only.end())
                throw oscprobe_cli::UsageError("--probe subnet needs --subnet");
            return oscprobe_cli::runStatus(status);
        }
        if (*ifacesCmd)
            return oscprobe_cli::runIfaces(ifacesJson);

        if (*checkCmd)
            return oscprobe_cli::runCheck(conditions, checkJson);
        if (*runCmd) {
            if (!tail.empty() && !waitOptions.command.empty())
                throw oscprobe_cli::UsageError("give the command once, after --");
            if (!tail.empty())
                waitOptions.command = tail;
            if (waitOptions.command.empty())
                throw oscprobe_cli::UsageError("no command given (put it after --)");
            if (waitOptions.holdLimit >= 0 && !waitOptions.hold)
                throw oscprobe_cli::UsageError("--hold-limit needs --hold");
        }
        return oscprobe_cli::runWait(conditions, waitOptions);
    } catch (const oscprobe_cli::UsageError& e) {
        return usageError(command, e.what());
    }
}

} // namespace
