// Feeds arbitrary file contents to the /proc/net/if_inet6 line parser the
// way the enumeration reads them: 127 characters at most per read, so
// lines may be cut anywhere.
#include <string.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "internal/OscProbeSubNetInternal.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    using namespace oscprobe::internal;
    size_t pos = 0;
    while (pos < size) {
        char line[128];
        size_t n = 0;
        while (pos < size && n < sizeof line - 1) {
            char c = static_cast<char>(data[pos++]);
            line[n++] = c;
            if (c == '\n')
                break;
        }
        line[n] = '\0';

        ZUNET_SockAddr addr;
        std::string name;
        if (parseIfInet6Line(line, &addr, &name) == Inet6LineStatus::Ok) {
            // An accepted line had 32 digits in front and its name within it.
            if (strlen(line) < 32 || name.size() > strlen(line) - 32 || addr.raw[0] != 10)
                __builtin_trap();
        }

        const char* cursor = line;
        while (*cursor != '\0') {
            const char* before = cursor;
            std::string token = getToken(cursor);
            if (cursor < before || (token.empty() && *cursor != '\0'))
                __builtin_trap();
        }
    }
    return 0;
}
