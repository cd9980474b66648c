// OscProbeDiskSpace: go when the free-space percentage of at least one of a
// list of directories is strictly below a threshold percentage.
//
// Directories are checked in the given order, each with statvfs64, and the
// walk stops at the first one below the threshold. Nothing is cached.
//
// Threading: no shared state and no lock; one probe object is used by one
// thread at a time.
#ifndef OSCPROBE_OSCPROBEDISKSPACE_H
#define OSCPROBE_OSCPROBEDISKSPACE_H

#include <list>
#include <string>

#include "OscProbe.h"

class OSCPROBE_EXPORT OscProbeDiskSpace : public OscProbe {
public:
    // threshold is a percentage (0 to 100, not a fraction).
    OscProbeDiskSpace(const std::list<std::string>& directories, double threshold);
    ~OscProbeDiskSpace() override;

    // Throws JxException when a directory's file system cannot be queried;
    // the directories after it are not examined.
    bool probe() override;

    OscProbeReason getNoGoReason() override;

    // Free blocks available to unprivileged users, in percent of all
    // blocks, of the file system holding `dir`. Throws JxException
    // ("Failed to stat <dir>: <system text>") when statvfs64 fails.
    double getFreeSpacePercent(const std::string& dir);

private:
    std::list<std::string> directories;
    double threshold;
};

#endif
