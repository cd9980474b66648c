#include "SignalCatcher.h"

#include <pthread.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <system_error>

#include "Errors.h"

namespace oscprobe_cli {

SignalCatcher::SignalCatcher(JxMonitor& monitor, bool forJob) : monitor_(monitor)
{
    sigemptyset(&set_);
    sigaddset(&set_, SIGINT);
    sigaddset(&set_, SIGTERM);
    if (forJob) {
        // From the start, so that no library thread can pick them up.
        sigaddset(&set_, SIGHUP);
        sigaddset(&set_, SIGCHLD);
    }
    pthread_sigmask(SIG_BLOCK, &set_, &saved_);
    try {
        thread_ = std::thread([this] { run(); });
    } catch (const std::system_error& e) {
        pthread_sigmask(SIG_SETMASK, &saved_, nullptr);
        problem_ = e.what();
    }
}

void SignalCatcher::passTo(HeldJob* job)
{
    std::lock_guard<std::mutex> lock(mutex_);
    job_ = job;
    // A signal taken after the host last looked, before the job began, is
    // the job's too.
    if (job_ != nullptr && caught_.load() != 0)
        job_->signal(caught_.load());
    done_.notify_all();
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
    pthread_kill(thread_.native_handle(), SIGTERM);
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
        if (!done_.wait_for(lock, std::chrono::seconds(1),
                            [this] { return quitting_ || job_ != nullptr; }))
            _exit(EXIT_SIGNALLED + sig);
        if (quitting_)
            return;
        // A job began meanwhile and was handed the signal: wait for its end.
    }
}

} // namespace oscprobe_cli
