// oscprobe: evaluates the condition probes on this machine, and waits for
// them on behalf of a job.
//
//   oscprobe status [options]            the table's conditions with defaults
//   oscprobe check CONDITIONS            each condition once
//   oscprobe wait CONDITIONS             until all say go
//   oscprobe run CONDITIONS -- COMMAND   wait, then become COMMAND
//   oscprobe ifaces                      the interfaces the network probe sees
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <exception>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "Commands.h"
#include "Conditions.h"
#include "Errors.h"
#include "ProbeLog.h"
#include "Text.h"

#ifndef OSCPROBE_VERSION
#define OSCPROBE_VERSION "unknown"
#endif

namespace {

using oscprobe_cli::ConditionOptions;
using oscprobe_cli::WaitOptions;

// Seconds from `least` up. An interval below a tenth of a second would only
// spin: the probes list interfaces and read files at every evaluation.
CLI::Validator seconds(double least)
{
    return CLI::Validator(
        [least](std::string& text) -> std::string {
            double value;
            if (!oscprobe_cli::parseNumber(text, false, &value) || value < least || value > 1e9)
                return "'" + text + "' is not a number of seconds from " +
                       CLI::detail::to_string(least) + " to 1e9";
            return std::string();
        },
        "");
}

// Seconds, or "infinity": for ever, as without the option (-1 inside).
CLI::Validator timeoutSeconds()
{
    const CLI::Validator plain = seconds(0);
    return CLI::Validator(
        [plain](std::string& text) -> std::string {
            if (text == "infinity") {
                text = "-1";
                return std::string();
            }
            const std::string why = plain(text);
            return why.empty() ? why : why + ", or infinity";
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
    "\nAny of the CONDITIONS; all must say go.\nExit status: 0 all go, 1 some no-go";

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
    static const char kFlag[] = "--exec-condition";
    bool asked = false;
    for (int i = 1; i < argc && strcmp(argv[i], "--") != 0; ++i) {
        if (strncmp(argv[i], kFlag, sizeof kFlag - 1) != 0)
            continue;
        const char* rest = argv[i] + sizeof kFlag - 1;
        if (*rest == '\0') {
            asked = true;
        } else if (*rest == '=') {
            // Only the spellings of false switch it off; anything else
            // (true, 1, a typo) is the operator asking for it.
            std::string value(rest + 1);
            for (char& ch : value)
                ch = static_cast<char>(tolower(static_cast<unsigned char>(ch)));
            asked = value != "false" && value != "0" && value != "no" && value != "off" &&
                    value != "disable";
        }
    }
    return asked;
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
        "status", "Evaluate these conditions once, with defaults: " + oscprobe_cli::statusShows() +
                      ". Exit status: 0 all go, 1 some no-go, 3 a probe failed");
    oscprobe_cli::addStatusOptions(statusCmd, status.conditions);
    statusCmd->add_option("--probe", status.only,
                          "Evaluate only this condition; repeat for several (the exit status "
                          "then speaks for these alone)")
        ->type_name("NAME")
        ->check(CLI::IsMember(oscprobe_cli::conditionNames()));
    statusCmd->add_flag("--json", status.json, "Print one JSON document instead of lines");
    statusCmd->footer("\nExample:\n  oscprobe status --disk-dir /var/backups --subnet 10.0.0.0/8");

    ConditionOptions conditions;
    WaitOptions waitOptions;
    bool checkJson = false;

    CLI::App* checkCmd = app.add_subcommand("check", "Evaluate every named condition once");
    oscprobe_cli::addConditionOptions(checkCmd, conditions);
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
    oscprobe_cli::addConditionOptions(waitCmd, conditions);
    addWaitOptions(waitCmd, waitOptions);
    waitCmd->footer(std::string(kConditionsFooter) +
                    " (timed out), 2 bad input, 3 a probe failed, 130/143 after SIGINT/SIGTERM.\n"
                    "\nExample:\n  oscprobe wait --subnet 10.20.0.0/16 --timeout 3600");

    CLI::App* runCmd = app.add_subcommand(
        "run", "Wait as `wait` does, then replace oscprobe with COMMAND (not through a shell)");
    oscprobe_cli::addConditionOptions(runCmd, conditions);
    addWaitOptions(runCmd, waitOptions);
    runCmd->add_option("command", waitOptions.command, "The command and its arguments, after --")
        ->type_name("COMMAND [ARGS...]");
    runCmd->add_flag("--hold", waitOptions.hold,
                     "Run COMMAND as a job and keep evaluating: stop it (SIGSTOP to its process "
                     "group) while a condition says no-go, continue it when all say go again");
    runCmd->add_option("--hold-limit", waitOptions.holdLimit,
                       "End a job held longer than SECONDS (SIGTERM, then SIGKILL 10 s later)")
        ->type_name("SECONDS")
        ->transform(timeoutSeconds());
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

    bool networkJson = false;
    CLI::App* networkCmd = app.add_subcommand(
        "network", "Print what identifies the network the machine is on, as --network IDs: "
                   "each default gateway's hardware address, and the Wi-Fi name. Exit status: "
                   "0 some, 1 none, 3 the kernel could not be asked");
    networkCmd->add_flag("--json", networkJson, "Print one JSON document instead of lines");
    networkCmd->footer("\nExample, at home:\n  oscprobe network\n"
                       "then, with what it printed:\n"
                       "  oscprobe run --hold --network ID -- /usr/local/bin/backup");

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
        if (*statusCmd)
            return oscprobe_cli::runStatus(status);
        if (*ifacesCmd)
            return oscprobe_cli::runIfaces(ifacesJson);
        if (*networkCmd)
            return oscprobe_cli::runNetwork(networkJson);

        if (*checkCmd)
            return oscprobe_cli::runCheck(conditions, checkJson);
        if (*runCmd) {
            if (!tail.empty() && !waitOptions.command.empty())
                throw oscprobe_cli::UsageError("give the command once, after --");
            if (!tail.empty())
                waitOptions.command = tail;
            if (waitOptions.command.empty())
                throw oscprobe_cli::UsageError("no command given (put it after --)");
            if (runCmd->count("--hold-limit") > 0 && !waitOptions.hold)
                throw oscprobe_cli::UsageError("--hold-limit needs --hold");
        }
        return oscprobe_cli::runWait(conditions, waitOptions);
    } catch (const oscprobe_cli::UsageError& e) {
        return usageError(command, e.what());
    }
}

} // namespace
