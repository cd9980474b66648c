// OscProbeAC: reads the adapters' state files and words the answer; what
// the files and the power-supply class mean is decided in
// internal/OscProbeACInternal.cpp and internal/PowerSupply.cpp.
#include "OscProbeAC.h"

#include <dirent.h>
#include <stdio.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "internal/Handles.h"
#include "internal/OscProbeACInternal.h"

namespace {

using oscprobe::internal::AcBasis;
using oscprobe::internal::AcMarkers;
using oscprobe::internal::AcVerdict;
using oscprobe::internal::DirHandle;
using oscprobe::internal::FileHandle;
using oscprobe::internal::PowerSource;

const char kAdapterDir[] = "/proc/acpi/ac_adapter";

bool isDotEntry(const char* name) { return strcmp(name, ".") == 0 || strcmp(name, "..") == 0; }

// The names of the adapter directory's entries, sorted so that what is
// reported does not hang on the directory's order; *why gets the system's
// text when the directory is there but cannot be opened.
std::vector<std::string> adapterNames(std::string* why)
{
    std::vector<std::string> names;
    DirHandle dir(opendir(kAdapterDir));
    if (!dir) {
        if (errno != ENOENT)
            *why = strerror(errno);
        return names;
    }
    // readdir64_r is deprecated in glibc, but the re-entrant reader with an
    // entry buffer of the call's own keeps concurrent probes on different
    // threads apart on every C library this builds against.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    struct dirent64 entry;
    struct dirent64* result = nullptr;
    while (readdir64_r(dir.get(), &entry, &result) == 0 && result != nullptr) {
        // Whatever its kind: a plain file shows up when its state is opened.
        if (!isDotEntry(result->d_name))
            names.push_back(result->d_name);
    }
#pragma GCC diagnostic pop
    std::sort(names.begin(), names.end());
    return names;
}

// What each source said, for the reader of the log and the caller to see
// why AC power was assumed.
std::string whatSourcesSaid(const std::vector<std::string>& names, const std::string& dirError,
                            const std::vector<AcMarkers>& adapters,
                            const std::vector<std::string>& openErrors, std::size_t supplies)
{
    std::string text = "ac_adapter: ";
    if (names.empty())
        text += dirError.empty() ? "no adapter" : "unreadable: " + dirError;
    for (std::size_t i = 0; i < names.size(); ++i) {
        text += (i == 0 ? "" : ", ") + names[i];
        if (!openErrors[i].empty())
            text += " state unreadable: " + openErrors[i];
        else if (adapters[i].online)
            text += " says both on-line and off-line";
        else
            text += " says neither on-line nor off-line";
    }
    return text + "; power_supply: " +
           (supplies == 0 ? "no supply" : "no supply online, no battery discharging");
}

} // namespace

OscProbeAC::OscProbeAC() : OscProbe(2, false)
{
    debug.Debug("OscProbeAC", "Initializing AC probe. Cost %d", cost);
}

OscProbeAC::~OscProbeAC() = default;

bool OscProbeAC::probe() { return probe(nullptr); }

bool OscProbeAC::probe(Finding* finding)
{
    const char* const tag = "OscProbeAC::probe";
    std::string dirError;
    const std::vector<std::string> names = adapterNames(&dirError);

    // Every adapter counts: with two, the directory's order must not pick
    // the answer.
    std::vector<AcMarkers> adapters(names.size());
    std::vector<std::string> openErrors(names.size());
    for (std::size_t i = 0; i < names.size(); ++i) {
        const std::string path = std::string(kAdapterDir) + "/" + names[i] + "/state";
        FileHandle state(fopen(path.c_str(), "re"));
        if (!state) {
            openErrors[i] = strerror(errno);
            debug.Error(tag, "Couldn't open %s: %s", path.c_str(), openErrors[i].c_str());
            continue;
        }
        adapters[i] = oscprobe::internal::scanAcStateStream(state.get());
    }

    AcVerdict verdict = oscprobe::internal::decideAcPower(adapters, PowerSource::UNKNOWN);
    std::string supplyName;
    std::size_t supplies = 0;
    if (verdict.basis == AcBasis::ASSUMED) {
        // No adapter (current kernels often drop the ACPI file) or none
        // that is clear: the power-supply class tells AC from battery too.
        const auto records = oscprobe::internal::readPowerSupplies(false);
        supplies = records.size();
        verdict = oscprobe::internal::decideAcPower(
            adapters, oscprobe::internal::decidePowerSource(records, &supplyName));
    }

    if (verdict.basis == AcBasis::ASSUMED) {
        // The long-standing lines stay word for word (hosts' log filters
        // look for them); with adapters that said nothing clear, a line of
        // its own before the last one says what each source said.
        const bool verbose = debug.getDebugLevel() > 1;
        std::string seen;
        if (finding != nullptr || (verbose && !names.empty()))
            seen = whatSourcesSaid(names, dirError, adapters, openErrors, supplies);
        if (finding != nullptr)
            *finding = Finding{"nothing tells AC from battery (" + seen + "); assuming AC power",
                               true};
        if (names.empty()) {
            debug.DebugLvl(tag, 2,
                           "Couldn't read /proc/acpi/ac_adapter directory. Assuming that we're "
                           "on AC power.");
        } else {
            if (verbose)
                debug.DebugLvl(tag, 2, "Nothing tells AC from battery (%s)", seen.c_str());
            debug.DebugLvl(tag, 2, "Can't figure out AC status. Assuming that we're on AC power");
        }
        return true;
    }
    if (finding != nullptr) {
        if (verdict.basis == AcBasis::ADAPTER)
            finding->text = "ACPI adapter " + names[verdict.adapter] +
                            (verdict.onAc ? " is on-line" : " is off-line");
        else
            finding->text = supplyName;
        finding->assumed = false;
    }
    debug.DebugLvl(tag, 2, verdict.onAc ? "Running on AC power" : "Running on battery");
    return verdict.onAc;
}

OscProbeReason OscProbeAC::getNoGoReason() { return OSCPROBE_REASON_AC; }

void OscProbeAC::caffeine(bool on) { (void)on; }
