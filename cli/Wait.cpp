// `oscprobe wait` and `oscprobe run`: the tool as a long-running host.
//
// The main thread owns one JxMonitor, starts every probe with it, and
// re-evaluates whenever the monitor is woken (the library's watcher saw an
// address come up, or a signal arrived) and otherwise every --interval.
// Two other threads touch the monitor: the library's watcher and the signal
// thread below; each only enters it, broadcasts and leaves.
#include <errno.h>
#include <pthread.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "Commands.h"
#include "Conditions.h"
#include "Errors.h"
#include "Job.h"
#include "Notify.h"
#include "Report.h"
#include "Text.h"
#include "oscprobe.h"

namespace oscprobe_cli {

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// SIGINT and SIGTERM end a wait cleanly: they are blocked in every thread
// (the library's threads, created later, inherit the mask) and taken by one
// thread with sigwait, which records the signal and wakes the monitor. A
// handler could not: waking a monitor is not async-signal-safe. Should the
// main thread not have ended the wait a second later (a probe in its first
// sleep, a file system that does not answer), the signal thread ends the
// process itself: a signal is never left waiting on a probe.
//
// For `run --hold` SIGHUP and SIGCHLD are taken too, from the start, so that
// no library thread can pick them up. Once the job runs (passTo), SIGINT,
// SIGTERM and SIGHUP are passed on to it at once and the tool waits for it
// to end; SIGCHLD only wakes the monitor, so that the job is reaped at once.
class SignalCatcher {
public:
    SignalCatcher(JxMonitor& monitor, bool forJob) : monitor_(monitor)
    {
        sigemptyset(&set_);
        sigaddset(&set_, SIGINT);
        sigaddset(&set_, SIGTERM);
        if (forJob) {
            sigaddset(&set_, SIGHUP);
            sigaddset(&set_, SIGCHLD);
        }
        pthread_sigmask(SIG_BLOCK, &set_, &saved_);
        try {
            thread_ = std::thread([this] { run(); });
        } catch (const std::system_error& e) {
            // Without the thread the signals keep their usual effect: they
            // end the process at once.
            pthread_sigmask(SIG_SETMASK, &saved_, nullptr);
            problem_ = e.what();
        }
    }

    ~SignalCatcher() { release(); }
    SignalCatcher(const SignalCatcher&) = delete;
    SignalCatcher& operator=(const SignalCatcher&) = delete;

    // Why there is no signal thread, or "".
    const std::string& problem() const { return problem_; }

    // The mask the process had before: the command's own.
    const sigset_t& savedMask() const { return saved_; }

    // From now on signals go to `job`.
    void passTo(HeldJob* job)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        job_ = job;
    }

    // Ends the signal thread and gives the process its own mask back, as
    // the command of `run` must find it. A signal that arrives from here on
    // has its usual effect.
    void release()
    {
        if (!thread_.joinable())
            return;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            quitting_ = true;
            job_ = nullptr;
        }
        done_.notify_all();
        // Wakes sigwait if no signal came; harmless if the thread is done.
        pthread_kill(thread_.native_handle(), SIGTERM);
        thread_.join();
        pthread_sigmask(SIG_SETMASK, &saved_, nullptr);
    }

    // The last signal taken (SIGCHLD aside), or 0. Read with the monitor
    // entered, so a signal recorded after the read also wakes the following
    // wait.
    int caught() const { return caught_.load(); }

private:
    void run()
    {
        for (;;) {
            int sig = 0;
            if (sigwait(&set_, &sig) != 0)
                continue;
            std::unique_lock<std::mutex> lock(mutex_);
            if (quitting_)
                return;
            if (sig != SIGCHLD) {
                caught_ = sig;
                if (job_ != nullptr)
                    job_->signal(sig);
            }
            const bool waitingForJob = job_ != nullptr;
            lock.unlock();
            {
                JxMonitorLock monitorLock(&monitor_);
                monitor_.broadcast();
            }
            if (waitingForJob || sig == SIGCHLD)
                continue;
            lock.lock();
            if (!done_.wait_for(lock, std::chrono::seconds(1), [this] { return quitting_; }))
                _exit(EXIT_SIGNALLED + sig);
            return;
        }
    }

    JxMonitor& monitor_;
    sigset_t set_;
    sigset_t saved_;
    std::atomic<int> caught_{0};
    std::mutex mutex_;
    std::condition_variable done_;
    bool quitting_ = false;     // guarded by mutex_
    HeldJob* job_ = nullptr;    // guarded by mutex_
    std::string problem_;
    std::thread thread_;
};

// The one live line on a terminal: redrawn in place, cut to the terminal's
// width so that it never wraps (a wrapped line cannot be redrawn).
class StatusLine {
public:
    explicit StatusLine(bool enabled) : enabled_(enabled) {}
    ~StatusLine() { clear(); }

    void show(const std::string& text)
    {
        if (!enabled_)
            return;
        struct winsize ws;
        size_t width = ioctl(STDERR_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 1 ? ws.ws_col : 80;
        std::string line = printable(text);
        if (line.size() > width - 1) {
            size_t cut = width - 1;
            while (cut > 0 && (static_cast<unsigned char>(line[cut]) & 0xC0) == 0x80)
                --cut; // not inside a UTF-8 sequence
            line.resize(cut);
        }
        fprintf(stderr, "\r\033[K%s", line.c_str());
        fflush(stderr);
        shown_ = true;
    }

    void clear()
    {
        if (!shown_)
            return;
        fputs("\r\033[K", stderr);
        fflush(stderr);
        shown_ = false;
    }

private:
    bool enabled_;
    bool shown_ = false;
};

std::string clockText(double seconds)
{
    long total = static_cast<long>(seconds);
    char buf[32];
    if (total >= 3600)
        snprintf(buf, sizeof buf, "%ld:%02ld:%02ld", total / 3600, total / 60 % 60, total % 60);
    else
        snprintf(buf, sizeof buf, "%ld:%02ld", total / 60, total % 60);
    return buf;
}

// The interface checksum, or 0 when the interfaces cannot be listed; the
// next evaluation then reports that failure through its probe.
uint32_t interfaceChecksum()
{
    try {
        return OscProbeSubNet::getIfaceConfigCRC32();
    } catch (const JxException&) {
        return 0;
    }
}

enum class Outcome { GO, TIMED_OUT, FAILED, SIGNALLED, OUTPUT_FAILED };

Clock::duration seconds(double s)
{
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s));
}

// A job held past --hold-limit is asked to end with SIGTERM, and killed if
// it has not ended this much later.
constexpr std::chrono::seconds kKillGrace{10};

// `run --hold`: the job runs while every condition says go and is stopped
// while one says no-go; a condition whose probe fails changes nothing, as it
// tells neither way. Returns the job's own exit status.
int holdJob(ConditionSet& conditions, JxMonitor& monitor, SignalCatcher& signals,
            StatusLine& status, ServiceStatus& service, const WaitOptions& options,
            std::vector<Answer> answers, Clock::time_point begin)
{
    std::unique_ptr<HeldJob> job;
    try {
        job = std::make_unique<HeldJob>(options.command, signals.savedMask());
    } catch (const std::system_error& e) {
        status.clear();
        fprintf(stderr, "oscprobe run: can't start %s: %s\n",
                printable(options.command.front()).c_str(), e.what());
        return EXIT_CANNOT_RUN;
    }
    signals.passTo(job.get());
    const bool lines = !options.json && !options.quiet && !isatty(STDERR_FILENO);
    std::string state = "running", told;
    Clock::time_point heldSince, killAt = Clock::time_point::max();
    bool ending = false;
    int exitStatus = 0;
    for (;;) {
        if (state != told) {
            told = state;
            service.say(state);
            if (lines)
                fprintf(stderr, "oscprobe run: %s\n", printable(state).c_str());
        }
        if (options.json) {
            // A write that fails cannot stop the job: it only goes unseen.
            printf("%s\n", answersJson(answers, secondsSince(begin), state).c_str());
            fflush(stdout);
        }

        const Clock::time_point now = Clock::now();
        Clock::time_point next = std::min(now + seconds(options.interval), killAt);
        if (job->held() && options.holdLimit >= 0 && !ending) {
            if (now - heldSince >= seconds(options.holdLimit)) {
                status.clear();
                fprintf(stderr, "oscprobe run: held for longer than %g s; ending the job with "
                                "SIGTERM\n", options.holdLimit);
                job->signal(SIGTERM);
                ending = true;
                killAt = now + kKillGrace;
                next = killAt;
            } else {
                next = std::min(next, heldSince + seconds(options.holdLimit));
            }
        } else if (ending && now >= killAt) {
            status.clear();
            fprintf(stderr, "oscprobe run: the job did not end %lld s after SIGTERM; killing it\n",
                    static_cast<long long>(kKillGrace.count()));
            job->signal(SIGKILL);
            killAt = Clock::time_point::max();
        }
        bool ended = false;
        {
            // The job's end is looked for with the monitor entered: the
            // SIGCHLD that says so then wakes the wait below at the latest.
            JxMonitorLock lock(&monitor);
            bool woken = false;
            while (!woken && !(ended = job->ended(&exitStatus))) {
                const Clock::time_point at = Clock::now();
                if (at >= next)
                    break;
                status.show(state + "  " + clockText(secondsSince(begin)));
                const auto until = std::min(next, at + std::chrono::seconds(1));
                woken = monitor.wait(std::max<long>(
                    1, std::chrono::ceil<std::chrono::milliseconds>(until - at).count()));
            }
        }
        if (ended) {
            // Not with the monitor entered: stop() takes the probes' registry,
            // which their listeners hold while they enter the monitor.
            status.clear();
            conditions.stop();
            return exitStatus;
        }
        std::string problem;
        conditions.start(&monitor, &problem);
        answers = conditions.evaluate();
        if (signals.caught() || ending)
            continue;
        const bool noGo = std::any_of(answers.begin(), answers.end(),
                                      [](const Answer& a) { return a.state == Answer::NO_GO; });
        if (noGo) {
            if (!job->held()) {
                job->hold();
                heldSince = Clock::now();
            }
            state = "held: " + heldBackBy(answers);
        } else if (job->held() && allGo(answers)) {
            job->resume();
            state = "resumed";
        }
    }
}

} // namespace

int runWait(const ConditionOptions& conditionOptions, const WaitOptions& options)
{
    const char* verb = options.command.empty() ? "wait" : "run";
    // Made before anything starts, so that bad input leaves nothing to undo.
    ConditionSet conditions(conditionOptions, namedConditions(conditionOptions));
    if (!options.command.empty()) {
        if (const int err = commandError(options.command.front()))
            return cannotRun(options.command.front(), err);
    }
    JxMonitor monitor;
    SignalCatcher signals(monitor, options.hold);
    ServiceStatus service;
    if (!signals.problem().empty())
        fprintf(stderr, "oscprobe %s: can't start the signal thread (%s); SIGINT and SIGTERM end "
                        "it at once\n", verb, signals.problem().c_str());
    StatusLine status(!options.json && !options.quiet && isatty(STDERR_FILENO));
    bool toldStartProblem = false;
    // The errno of a failed write, kept from the moment it failed.
    int writeError = 0;
    // Output that did not reach its file ends the wait; `run` then runs nothing.
    auto outputFailed = [&](int err) {
        fprintf(stderr, "oscprobe %s: can't write standard output: %s%s\n", verb, strerror(err),
                options.command.empty() ? "" : "; not running the command");
        return static_cast<int>(EXIT_PROBE_FAILED);
    };

    const Clock::time_point begin = Clock::now();
    const bool timed = options.timeout >= 0;
    const Clock::time_point deadline = begin + seconds(timed ? options.timeout : 0);
    const Clock::duration interval = seconds(options.interval);

    std::vector<Answer> answers;
    Outcome outcome;
    // The first evaluation may take a while (the CPU probe samples for two
    // seconds); say so rather than show nothing.
    status.show("waiting 0:00  checking the conditions");
    for (;;) {
        // Started before every evaluation: a subnet probe that said go left
        // the watcher, and must be back before the next wait.
        std::string problem;
        conditions.start(&monitor, &problem);
        if (!problem.empty() && !toldStartProblem) {
            status.clear();
            fprintf(stderr, "oscprobe %s: can't watch for address changes (%s); re-evaluating "
                            "every %g s\n", verb, printable(problem).c_str(), options.interval);
            toldStartProblem = true;
        }
        // Taken before the probes look, compared just before waiting: an
        // address that came up after a probe looked, but before the monitor
        // was entered, woke nobody; the checksum shows it instead.
        const uint32_t seen = conditions.watchesInterfaces() ? interfaceChecksum() : 0;

        answers = conditions.evaluate();
        const double elapsed = secondsSince(begin);
        if (options.json) {
            printf("%s\n", answersJson(answers, elapsed).c_str());
            if (!flushed(stdout)) {
                writeError = errno;
                outcome = Outcome::OUTPUT_FAILED;
                break;
            }
        }
        if (signals.caught()) {
            outcome = Outcome::SIGNALLED; // never run the command after one
            break;
        }
        if (anyFailed(answers)) {
            outcome = Outcome::FAILED;
            break;
        }
        if (allGo(answers)) {
            outcome = Outcome::GO;
            break;
        }

        const Clock::time_point next = Clock::now() + interval;
        const std::string heldBack = heldBackBy(answers);
        bool woken = false;
        {
            JxMonitorLock lock(&monitor);
            if (conditions.watchesInterfaces() && interfaceChecksum() != seen)
                woken = true;
            while (!woken && !signals.caught()) {
                const Clock::time_point now = Clock::now();
                if (timed && now >= deadline)
                    break;
                if (now >= next)
                    break;
                service.say("waiting: held back by " + heldBack);
                status.show("waiting " + clockText(secondsSince(begin)) +
                            "  held back by: " + heldBack);
                Clock::time_point until = std::min(next, timed ? deadline : next);
                // On a terminal the elapsed time is redrawn every second.
                until = std::min(until, now + std::chrono::seconds(1));
                const long ms = static_cast<long>(
                    std::chrono::ceil<std::chrono::milliseconds>(until - now).count());
                woken = monitor.wait(std::max(ms, 1L));
            }
        }
        if (signals.caught()) {
            outcome = Outcome::SIGNALLED;
            break;
        }
        if (!woken && timed && Clock::now() >= deadline) {
            outcome = Outcome::TIMED_OUT;
            break;
        }
    }

    if (outcome == Outcome::GO && options.hold)
        return holdJob(conditions, monitor, signals, status, service, options, answers, begin);
    conditions.stop();
    status.clear();
    const double elapsed = secondsSince(begin);

    switch (outcome) {
    case Outcome::SIGNALLED:
        return EXIT_SIGNALLED + signals.caught();
    case Outcome::OUTPUT_FAILED:
        return outputFailed(writeError);
    case Outcome::GO:
        if (!options.command.empty()) {
            // What was written must be out before the command takes over.
            if (!flushed(stdout))
                return outputFailed(errno);
            fflush(stderr);
            service.say("all conditions go; running " + options.command.front());
            signals.release();
            execCommand(options.command);
        }
        if (!options.json) {
            printAnswers(stdout, answers);
            printf("all conditions go after %.1f s\n", elapsed);
        }
        return EXIT_ALL_GO;
    case Outcome::FAILED:
        if (!options.json)
            printAnswers(stderr, answers);
        fprintf(stderr, "oscprobe %s: a probe failed; %s\n", verb,
                options.command.empty() ? "giving up" : "not running the command");
        return EXIT_PROBE_FAILED;
    case Outcome::TIMED_OUT:
    default:
        if (!options.json)
            printAnswers(options.command.empty() ? stdout : stderr, answers);
        fprintf(options.command.empty() ? stdout : stderr, "timed out after %.1f s%s\n", elapsed,
                options.command.empty() ? "" : "; not running the command");
        return EXIT_NO_GO;
    }
}

} // namespace oscprobe_cli
