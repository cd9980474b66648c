// Reading the power-supply class from sysfs: the records the power probes
// decide by (internal/PowerSupply.h), with the Type-C ports' power roles
// laid beside the supplies of the same device.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "internal/Handles.h"
#include "internal/PowerSupply.h"

namespace {

using oscprobe::internal::DirHandle;
using oscprobe::internal::PowerRole;
using oscprobe::internal::PowerSupplyRecord;

const char kPowerSupplyDir[] = "/sys/class/power_supply";
// A sysfs attribute is at most one page.
constexpr size_t kLargestAttribute = 4096;
const char kTypecDir[] = "/sys/class/typec";

// The names in a sysfs class directory; none when it is missing. One
// directory stream used by this call alone: readdir is safe here.
std::vector<std::string> entries(const char* dirPath)
{
    std::vector<std::string> names;
    DirHandle dir(opendir(dirPath));
    if (!dir)
        return names;
    while (struct dirent64* e = readdir64(dir.get()))
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
            names.push_back(e->d_name);
    return names;
}

// The whole (small) contents of a sysfs attribute file.
std::optional<std::string> readAttribute(const std::string& path)
{
    // Attributes are small regular files. Anything else (a FIFO, a device
    // laid over the tree) is no answer, and must not block or feed the
    // probe for ever: opened without waiting, read at most one page.
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0)
        return std::nullopt;
    std::optional<std::string> text;
    struct stat st;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        char buf[kLargestAttribute];
        size_t got = 0;
        ssize_t n;
        while (got < sizeof buf &&
               ((n = read(fd, buf + got, sizeof buf - got)) > 0 || (n < 0 && errno == EINTR)))
            got += n > 0 ? static_cast<size_t>(n) : 0;
        if (n >= 0 || got == sizeof buf)
            text = std::string(buf, got);
    }
    close(fd);
    return text;
}

// Where a class entry's `device` link leads: the device it hangs from.
// Empty when it has none (a virtual supply).
std::string parentOf(const std::string& entry)
{
    std::unique_ptr<char, decltype(&free)> real(realpath((entry + "/device").c_str(), nullptr),
                                                &free);
    return real ? std::string(real.get()) : std::string();
}

// The power roles of the Type-C ports, by the device they hang from. A
// controller may have several ports (and a port's partner and cable are
// entries too, without a power role).
std::map<std::string, std::vector<PowerRole>> portRolesByDevice()
{
    std::map<std::string, std::vector<PowerRole>> roles;
    for (const std::string& name : entries(kTypecDir)) {
        const std::string entry = std::string(kTypecDir) + "/" + name;
        const std::optional<std::string> role = readAttribute(entry + "/power_role");
        if (!role)
            continue;
        const std::string parent = parentOf(entry);
        if (!parent.empty())
            roles[parent].push_back(oscprobe::internal::parsePowerRole(*role));
    }
    return roles;
}

} // namespace

std::vector<PowerSupplyRecord> oscprobe::internal::readPowerSupplies(bool withLevels)
{
    std::vector<PowerSupplyRecord> supplies;
    const std::vector<std::string> names = entries(kPowerSupplyDir);
    if (names.empty())
        return supplies;
    // Most machines have no Type-C class: then no supply is looked up in it.
    const std::map<std::string, std::vector<PowerRole>> ports = portRolesByDevice();
    for (const std::string& name : names) {
        PowerSupplyRecord s;
        s.name = name;
        const std::string entry = std::string(kPowerSupplyDir) + "/" + name;
        const std::string base = entry + "/";
        s.type = readAttribute(base + "type");
        s.online = readAttribute(base + "online");
        s.scope = readAttribute(base + "scope");
        s.present = readAttribute(base + "present");
        s.status = readAttribute(base + "status");
        const bool battery = attributeIs(s.type, "Battery");
        if (withLevels && battery) {
            s.capacity = readAttribute(base + "capacity");
            s.energyNow = readAttribute(base + "energy_now");
            s.energyFull = readAttribute(base + "energy_full");
            s.chargeNow = readAttribute(base + "charge_now");
            s.chargeFull = readAttribute(base + "charge_full");
        }
        if (!battery && !ports.empty()) {
            const auto found = ports.find(parentOf(entry));
            s.sourcing = found != ports.end() && sourcesPower(found->second);
        }
        supplies.push_back(std::move(s));
    }
    return supplies;
}
