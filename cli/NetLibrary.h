// NetLibrary: the network conditions' library (liboscprobe-net), loaded the
// first time a command asks one of them. Every other command starts without
// it and the D-Bus library it links, which would cost each `check --ac` the
// loading of a dozen libraries it never calls.
//
// Threading: the main thread, while it makes the conditions.
#ifndef OSCPROBE_CLI_NETLIBRARY_H
#define OSCPROBE_CLI_NETLIBRARY_H

#include "OscProbeNetEntry.h"

namespace oscprobe_cli {

// The library's table of functions, loading it on first use. Throws
// std::runtime_error ("can't load liboscprobe-net.so.1: WHY") when it is
// not installed or lacks what this build of the tool calls.
const OscProbeNetEntry& netLibrary();

} // namespace oscprobe_cli

#endif
