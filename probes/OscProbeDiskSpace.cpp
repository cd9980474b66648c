#include "OscProbeDiskSpace.h"

#include <sys/statvfs.h>

#include <cerrno>
#include <cstring>

#include "JxException.h"

namespace {

// Error sites keep stable line identifiers so hosts' log filters see the
// same numbers release after release.
const int kStatFailedLine = 49;

} // namespace

OscProbeDiskSpace::OscProbeDiskSpace(const std::list<std::string>& dirs, double thresholdPercent)
    : OscProbe(1, false), directories(dirs), threshold(thresholdPercent)
{
    debug.Debug("OscProbeDiskSpace", "Initializing DiskSpace Probe. Cost %d", cost);
    debug.Debug("OscProbeDiskSpace", "   Threshold: %0.1f%%", threshold);
    for (const std::string& dir : directories)
        debug.Debug("OscProbeDiskSpace", "   Directory: %s", dir.c_str());
}

OscProbeDiskSpace::~OscProbeDiskSpace() {}

bool OscProbeDiskSpace::probe()
{
    for (const std::string& dir : directories) {
        double percent = getFreeSpacePercent(dir);
        debug.DebugLvl("OscProbeDiskSpace::probe", 2, "%0.1f%%: %s", percent, dir.c_str());
        // An ordered comparison: a file system reporting no blocks at all
        // gives NaN or infinity, and neither ever counts as below.
        if (percent < threshold)
            return true;
    }
    return false;
}

OscProbeReason OscProbeDiskSpace::getNoGoReason() { return OSCPROBE_REASON_DISKSPACE; }

double OscProbeDiskSpace::getFreeSpacePercent(const std::string& dir)
{
    struct statvfs64 st;
    if (statvfs64(dir.c_str(), &st) != 0) {
        int err = errno;
        throw JxException("OscProbeDiskSpace::getFreeSpacePercent",
                          "Failed to stat " + dir + ": " + strerror(err), "OscProbeDiskSpace",
                          kStatFailedLine, -1);
    }
    // Blocks available to unprivileged users, not f_bfree: the space a
    // backup running as an ordinary user can actually fill. Both counts are
    // in f_frsize units, so the unit cancels.
    double percent = static_cast<double>(st.f_bavail) * 100.0 / static_cast<double>(st.f_blocks);
    debug.DebugLvl("OscProbeDiskSpace::getFreeSpacePercent", 2,
                   "Free space percentage on %s: %0.2f%%", dir.c_str(), percent);
    return percent;
}
