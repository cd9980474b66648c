// Small utilities: CRC-32 and sleeping.
#ifndef OSCPROBE_ZUUTILS_H
#define OSCPROBE_ZUUTILS_H

#include "JxExport.h"

extern "C" {

// Updates the running CRC-32 register *crc (reflected polynomial
// 0xEDB88320, as zlib) over `length` bytes. No inversion happens inside:
// callers seed 0xFFFFFFFF and chain calls; the standard CRC-32 of the
// whole input is the complement of the final register. Returns *crc.
JX_EXPORT unsigned int jx_crc32(const void* data, unsigned long length, unsigned int* crc);

// Blocks the calling thread for `milliseconds`, resuming after signal
// interruptions until the whole time has passed. file and line name the
// calling statement. Returns 0.
JX_EXPORT int ZUSLEEP_InTeRnAl(long milliseconds, const char* file, int line);
}

#endif
