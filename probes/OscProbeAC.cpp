#include "OscProbeAC.h"

#include <dirent.h>
#include <stdio.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <utility>

#include "internal/OscProbeACInternal.h"

namespace oscprobe::internal {

namespace {

// Attribute files end in a newline; blanks around the value carry nothing.
std::string trimmed(const std::string& text)
{
    const char* blanks = " \t\n\r\v\f";
    std::string::size_type first = text.find_first_not_of(blanks);
    if (first == std::string::npos)
        return std::string();
    return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

bool isValue(const std::optional<std::string>& attr, const char* value)
{
    return attr && trimmed(*attr) == value;
}

// A whole decimal integer, or nothing.
std::optional<long long> numberOf(const std::optional<std::string>& attr)
{
    if (!attr)
        return std::nullopt;
    std::string text = trimmed(*attr);
    if (text.empty())
        return std::nullopt;
    errno = 0;
    char* end = nullptr;
    long long v = strtoll(text.c_str(), &end, 10);
    if (*end != '\0' || errno == ERANGE)
        return std::nullopt;
    return v;
}

} // namespace

void scanAcStatePiece(const char* piece, AcMarkers* markers)
{
    if (strstr(piece, "on-line") != nullptr)
        markers->online = true;
    if (strstr(piece, "off-line") != nullptr)
        markers->offline = true;
}

AcMarkers scanAcStateStream(FILE* stream)
{
    AcMarkers markers;
    char line[kAcLineBufferSize];
    while (fgets(line, sizeof line, stream) != nullptr)
        scanAcStatePiece(line, &markers);
    return markers;
}

PowerSource decidePowerSource(const std::vector<PowerSupplyRecord>& supplies)
{
    bool discharging = false;
    for (const PowerSupplyRecord& s : supplies) {
        if (!s.type)
            continue;
        if (isValue(s.type, "Battery")) {
            // A mouse's or headset's own battery says nothing about the
            // machine; a battery slot without a battery says nothing either.
            if (isValue(s.scope, "Device"))
                continue;
            std::optional<long long> present = numberOf(s.present);
            if (present && *present == 0)
                continue;
            if (isValue(s.status, "Discharging"))
                discharging = true;
            continue;
        }
        // Online values above 1 name further kinds of "online" (a
        // programmable USB-C supply, for one).
        std::optional<long long> online = numberOf(s.online);
        if (online && *online >= 1)
            return PowerSource::AC;
    }
    // Only a discharging battery means battery: desktops list offline USB
    // supplies without running on battery.
    return discharging ? PowerSource::BATTERY : PowerSource::UNKNOWN;
}

} // namespace oscprobe::internal

namespace {

using oscprobe::internal::AcMarkers;
using oscprobe::internal::PowerSource;
using oscprobe::internal::PowerSupplyRecord;

const char kAdapterDir[] = "/proc/acpi/ac_adapter";
const char kPowerSupplyDir[] = "/sys/class/power_supply";

struct DirCloser {
    void operator()(DIR* d) const { closedir(d); }
};
using DirHandle = std::unique_ptr<DIR, DirCloser>;

struct FileCloser {
    void operator()(FILE* f) const { fclose(f); }
};
using FileHandle = std::unique_ptr<FILE, FileCloser>;

bool isDotEntry(const char* name) { return strcmp(name, ".") == 0 || strcmp(name, "..") == 0; }

// The state file of the first adapter the directory read returns, or an
// empty string when there is no usable entry.
std::string firstAdapterStatePath()
{
    std::string path;
    DirHandle dir(opendir(kAdapterDir));
    if (!dir)
        return path;
    // readdir64_r is deprecated in glibc, but the re-entrant reader with an
    // entry buffer of the call's own keeps concurrent probes on different
    // threads apart on every C library this builds against.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    struct dirent64 entry;
    struct dirent64* result = nullptr;
    while (readdir64_r(dir.get(), &entry, &result) == 0 && result != nullptr) {
        if (isDotEntry(result->d_name))
            continue;
        // Whatever its kind: a plain file shows up when its state is opened.
        path = std::string(kAdapterDir) + "/" + result->d_name + "/state";
        break;
    }
#pragma GCC diagnostic pop
    return path;
}

// The whole (small) contents of a sysfs attribute file.
std::optional<std::string> readAttribute(const std::string& path)
{
    FileHandle f(fopen(path.c_str(), "re"));
    if (!f)
        return std::nullopt;
    std::string text;
    char buf[512];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f.get())) > 0 && text.size() < 4096)
        text.append(buf, n);
    if (ferror(f.get()))
        return std::nullopt;
    return text;
}

std::vector<PowerSupplyRecord> readPowerSupplies()
{
    std::vector<PowerSupplyRecord> supplies;
    DirHandle dir(opendir(kPowerSupplyDir));
    if (!dir)
        return supplies;
    // One directory stream used by this call alone: readdir is safe here.
    while (struct dirent64* e = readdir64(dir.get())) {
        if (isDotEntry(e->d_name))
            continue;
        PowerSupplyRecord s;
        s.name = e->d_name;
        std::string base = std::string(kPowerSupplyDir) + "/" + s.name + "/";
        s.type = readAttribute(base + "type");
        s.online = readAttribute(base + "online");
        s.scope = readAttribute(base + "scope");
        s.present = readAttribute(base + "present");
        s.status = readAttribute(base + "status");
        supplies.push_back(std::move(s));
    }
    return supplies;
}

} // namespace

OscProbeAC::OscProbeAC() : OscProbe(2, false)
{
    debug.Debug("OscProbeAC", "Initializing AC probe. Cost %d", cost);
}

OscProbeAC::~OscProbeAC() {}

bool OscProbeAC::probe()
{
    std::string statePath = firstAdapterStatePath();
    if (statePath.empty()) {
        // Current kernels often drop the ACPI adapter file; the power-supply
        // class still tells AC from battery there.
        switch (oscprobe::internal::decidePowerSource(readPowerSupplies())) {
        case PowerSource::AC:
            debug.DebugLvl("OscProbeAC::probe", 2, "Running on AC power");
            return true;
        case PowerSource::BATTERY:
            debug.DebugLvl("OscProbeAC::probe", 2, "Running on battery");
            return false;
        case PowerSource::UNKNOWN:
            break;
        }
        debug.DebugLvl("OscProbeAC::probe", 2,
                       "Couldn't read /proc/acpi/ac_adapter directory. Assuming that we're on AC "
                       "power.");
        return true;
    }

    AcMarkers markers;
    FileHandle state(fopen(statePath.c_str(), "re"));
    if (!state) {
        int err = errno;
        debug.Error("OscProbeAC::probe", "Couldn't open %s: %s", statePath.c_str(), strerror(err));
    } else {
        markers = oscprobe::internal::scanAcStateStream(state.get());
        state.reset();
    }

    // Both markers at once contradict each other (the kernel writes one
    // state line), so that counts as unknown like every other doubt.
    if (markers.online && !markers.offline) {
        debug.DebugLvl("OscProbeAC::probe", 2, "Running on AC power");
        return true;
    }
    if (markers.offline && !markers.online) {
        debug.DebugLvl("OscProbeAC::probe", 2, "Running on battery");
        return false;
    }
    debug.DebugLvl("OscProbeAC::probe", 2,
                   "Can't figure out AC status. Assuming that we're on AC power");
    return true;
}

OscProbeReason OscProbeAC::getNoGoReason() { return OSCPROBE_REASON_AC; }

void OscProbeAC::caffeine(bool on) { (void)on; }
