// The subnet prefix reader against atoi(): equal wherever the number fits
// an int, and never inside the range of int when it does not.
#include <errno.h>

#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "internal/OscProbeSubNetInternal.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    const long long got = oscprobe::internal::parsePrefixLength(text.c_str());
    errno = 0;
    const long long wide = strtoll(text.c_str(), nullptr, 10);
    const bool fits = errno != ERANGE && wide >= INT_MIN && wide <= INT_MAX;
    if (fits && got != atoi(text.c_str()))
        __builtin_trap();
    if (!fits && got >= INT_MIN && got <= INT_MAX)
        __builtin_trap();
    return 0;
}
