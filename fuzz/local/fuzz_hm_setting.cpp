// The Hubmaster setting's number must read as atoi does wherever the
// number fits an int, and as non-zero wherever it does not.
#include <errno.h>
#include <stdlib.h>

#include <climits>
#include <cstdint>
#include <string>

#include "internal/OscProbeHMInternal.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string text(reinterpret_cast<const char*>(data), size);
    const char* s = text.c_str();
    bool got = oscprobe::internal::hmSettingIsNonZero(s);

    errno = 0;
    long long wide = strtoll(s, nullptr, 10);
    bool fitsInt = errno != ERANGE && wide >= INT_MIN && wide <= INT_MAX;
    bool expected = fitsInt ? atoi(s) != 0 : true;
    if (got != expected)
        abort();
    return 0;
}
