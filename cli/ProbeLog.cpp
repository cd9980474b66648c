#include "ProbeLog.h"

#include <stdio.h>

#include "EvDebug.h"

namespace oscprobe_cli {

ProbeLog::ProbeLog()
{
    // The level decides what the probes write at all: -v raised it to 2.
    // The tool also wants the level-2 conclusions for its rows, so it asks
    // for them and shows them only when verbose.
    EvDebug probe(nullptr);
    verbose_ = probe.getDebugLevel() >= 2;
    EvDebug::setDebugLevel(2);
    EvDebug::setLogHandler(
        [this](int severity, const char* tag, const char* text) { onLine(severity, tag, text); });
}

ProbeLog::~ProbeLog() { EvDebug::setLogHandler(EvDebug::Handler()); }

std::string ProbeLog::last(const std::string& tag) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = last_.find(tag);
    return it == last_.end() ? std::string() : it->second;
}

void ProbeLog::onLine(int severity, const char* tag, const char* text)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        last_[tag] = text;
    }
    if (verbose_ || severity == EvDebug::SEVERITY_ERROR) {
        const char* label = severity == EvDebug::SEVERITY_ERROR
                                ? "error"
                                : (severity == EvDebug::SEVERITY_INFO ? "info" : "debug");
        fprintf(stderr, "oscprobe: %s: %s: %s\n", label, tag, text);
    }
}

} // namespace oscprobe_cli
