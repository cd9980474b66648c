#include "ZuUtils.h"

#include <time.h>
#include <zlib.h>

#include <cerrno>

unsigned int jx_crc32(const void* data, unsigned long length, unsigned int* crc)
{
    // zlib keeps the register complemented between calls; convert to and
    // from the raw register that callers chain. zlib takes at most UINT_MAX
    // bytes per call, so feed larger inputs in pieces.
    uLong reg = ~static_cast<uLong>(*crc) & 0xFFFFFFFFUL;
    const Bytef* p = static_cast<const Bytef*>(data);
    while (length > 0) {
        uInt piece = length > 0x40000000UL ? 0x40000000U : static_cast<uInt>(length);
        reg = crc32(reg, p, piece);
        p += piece;
        length -= piece;
    }
    *crc = static_cast<unsigned int>(~reg & 0xFFFFFFFFUL);
    return *crc;
}

int ZUSLEEP_InTeRnAl(long milliseconds, const char* file, int line)
{
    (void)file;
    (void)line;
    if (milliseconds <= 0)
        return 0;
    struct timespec left;
    left.tv_sec = milliseconds / 1000;
    left.tv_nsec = (milliseconds % 1000) * 1000000L;
    // nanosleep reports the time left when a signal interrupts it: sleep on.
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
    return 0;
}
