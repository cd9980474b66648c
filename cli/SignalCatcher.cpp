#include "SignalCatcher.h"

#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <system_error>

#include "Errors.h"

namespace oscprobe_cli {

SignalCatcher::SignalCatcher(JxMonitor& monitor, bool forJob) : monitor_(monitor)
{
    sigemptyset(&set_);
    for (const int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2}) {
        if (!forJob && sig != SIGINT && sig != SIGTERM)
            continue;
        struct sigaction action;
        if (sigaction(sig, nullptr, &action) == 0 && action.sa_handler != SIG_IGN)
            sigaddset(&set_, sig);
    }
    sigset_t blocked = set_;
    if (forJob) {
        // Ignored, SIGCHLD would have the kernel reap the job behind our back.
        signal(SIGCHLD, SIG_DFL);
        sigaddset(&set_, SIGCHLD);
        sigaddset(&blocked, SIGCHLD);
        sigaddset(&blocked, SIGTTOU);
    }
    // From the start, so that no library thread can pick them up.
    pthread_sigmask(SIG_BLOCK, &blocked, &saved_);
    for (int sig = 1; sig < NSIG && wakeSignal_ == 0; ++sig)
        if (sigismember(&set_, sig) == 1)
            wakeSignal_ = sig;
    if (wakeSignal_ == 0)
        return; // every one of them ignored: nothing to take
    try {
        thread_ = std::thread([this] { run(); });
    } catch (const std::system_error& e) {
        pthread_sigmask(SIG_SETMASK, &saved_, nullptr);
        problem_ = e.what();
    }
}

bool SignalCatcher::startJob(const std::function<HeldJob*()>& start)
{
    // The signal thread records a signal under the same lock: it comes
    // either before the job, which then never starts, or after, and is the
    // job's.
    std::lock_guard<std::mutex> lock(mutex_);
    if (caught_.load() != 0)
        return false;
    job_ = start();
    done_.notify_all();
    return true;
}

void SignalCatcher::dropJob()
{
    std::lock_guard<std::mutex> lock(mutex_);
    job_ = nullptr;
}

void SignalCatcher::release()
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
    pthread_kill(thread_.native_handle(), wakeSignal_);
    thread_.join();
    pthread_sigmask(SIG_SETMASK, &saved_, nullptr);
}

void SignalCatcher::run()
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
                job_->pass(sig);
        }
        const bool waitingForJob = job_ != nullptr;
        lock.unlock();
        {
            JxMonitorLock monitorLock(&monitor_);
            monitor_.broadcast();
        }
        if (waitingForJob || sig == SIGCHLD)
            continue;
        // No job will start now (startJob refuses): the tool is ending.
        lock.lock();
        if (!done_.wait_for(lock, std::chrono::seconds(1), [this] { return quitting_; }))
            _exit(EXIT_SIGNALLED + sig);
        return;
    }
}

} // namespace oscprobe_cli
