// OscProbeNetEntry: liboscprobe-net for a program that loads it only when it
// needs one of its probes (dlopen), as the oscprobe tool does: its commands
// that ask no network condition then never load this library, nor the
// D-Bus library it links. The one C symbol oscprobe_net_entry gives a table
// of plain functions over the classes; nothing else needs dlsym, and the
// probes are then used through the OscProbe interface.
//
// Threading: as each class's own header says; the table is constant.
#ifndef OSCPROBE_OSCPROBENETENTRY_H
#define OSCPROBE_OSCPROBENETENTRY_H

#include <list>
#include <string>

#include "OscProbe.h"

struct OscProbeNetEntry {
    // sizeof(OscProbeNetEntry) as the library was built: a program built
    // against a longer table must not read past a shorter one.
    unsigned size;

    // new OscProbeNetwork(ids); throws as it does.
    OscProbe* (*makeNetwork)(const std::list<std::string>& ids);
    // OscProbeNetwork::whyInvalid.
    std::string (*whyInvalidNetwork)(const std::string& id);
    // OscProbeNetwork::currentIds().
    std::list<std::string> (*currentNetworkIds)();

    // new OscProbeMetered(strict).
    OscProbe* (*makeMetered)(bool strict);

    // new OscProbeReachable(targets, timeoutMs); throws as it does.
    OscProbe* (*makeReachable)(const std::list<std::string>& targets, int timeoutMs);
    // OscProbeReachable::whyInvalid.
    std::string (*whyInvalidTarget)(const std::string& target);

    // Asks a probe made through this table once and puts what settled the
    // answer into *text (may be null); throws as the probe does.
    bool (*probe)(OscProbe* probe, std::string* text);
};

// The table, or null when called on a library that lacks it.
extern "C" OSCPROBE_EXPORT const OscProbeNetEntry* oscprobe_net_entry();

#endif
