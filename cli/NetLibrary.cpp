#include "NetLibrary.h"

#include "OscProbeWake.h"

#include <dlfcn.h>
#include <string.h>

#include <stdexcept>
#include <string>

namespace oscprobe_cli {

namespace {

constexpr const char* kLibrary = "liboscprobe-net.so.1";

// The library beside the liboscprobe this tool runs with: one build, one
// directory, whatever the loader's search would find first. A sanitizer's
// dlopen, called on the tool's behalf, would not even search the tool's
// RUNPATH.
void* openBeside()
{
    Dl_info info;
    if (dladdr(reinterpret_cast<void*>(&OscProbeWake::generation), &info) == 0 ||
        info.dli_fname == nullptr || strchr(info.dli_fname, '/') == nullptr)
        return nullptr;
    const std::string path(info.dli_fname);
    return dlopen((path.substr(0, path.rfind('/') + 1) + kLibrary).c_str(), RTLD_NOW | RTLD_LOCAL);
}

} // namespace

const OscProbeNetEntry& netLibrary()
{
    static const OscProbeNetEntry* entry = nullptr;
    if (entry != nullptr)
        return *entry;
    // Never closed: its probes and threads may live until the process ends.
    void* library = openBeside();
    if (library == nullptr)
        library = dlopen(kLibrary, RTLD_NOW | RTLD_LOCAL);
    const char* why = nullptr;
    if (library == nullptr) {
        why = dlerror();
    } else {
        using Entry = const OscProbeNetEntry* (*)();
        auto get = reinterpret_cast<Entry>(dlsym(library, "oscprobe_net_entry"));
        const OscProbeNetEntry* table = get != nullptr ? get() : nullptr;
        if (table == nullptr || table->size < sizeof(OscProbeNetEntry))
            why = "it is older than this oscprobe";
        else
            entry = table;
    }
    if (entry == nullptr)
        throw std::runtime_error(std::string("can't load ") + kLibrary + ": " +
                                 (why != nullptr ? why : "unknown error"));
    return *entry;
}

} // namespace oscprobe_cli
