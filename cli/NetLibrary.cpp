#include "NetLibrary.h"

#include <dlfcn.h>

#include <stdexcept>
#include <string>

namespace oscprobe_cli {

namespace {

constexpr const char* kLibrary = "liboscprobe-net.so.1";

} // namespace

const OscProbeNetEntry& netLibrary()
{
    static const OscProbeNetEntry* entry = nullptr;
    if (entry != nullptr)
        return *entry;
    // Never closed: its probes and threads may live until the process ends.
    void* library = dlopen(kLibrary, RTLD_NOW | RTLD_LOCAL);
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
