// Socket addresses as plain 28-byte values, and their text forms.
//
// Layout (Linux socket-address layout; every unused byte is zero):
//   bytes 0-1  family, host byte order: 2 (IPv4) or 10 (IPv6)
//   bytes 2-3  port, 0
//   IPv4: bytes 4-7 the address, network order
//   IPv6: bytes 4-7 flow label 0, bytes 8-23 the address, 24-27 scope 0
// Values are copied, compared and checksummed byte for byte.
#ifndef OSCPROBE_ZUNETWORK_H
#define OSCPROBE_ZUNETWORK_H

#include <stddef.h>

#include "JxExport.h"

struct ZUNET_SockAddr {
    unsigned char raw[28];
};

static_assert(sizeof(ZUNET_SockAddr) == 28, "ZUNET_SockAddr is 28 bytes");

extern "C" {

// Parses IPv4 dotted text or IPv6 text into *out. Returns 0 on success;
// non-zero when the text is no address (then *out is all zero).
JX_EXPORT int ZUNET_str2ip(const char* text, ZUNET_SockAddr* out);

// Writes the address's text form, NUL-terminated within `size` bytes; an
// unknown family gives "?". Returns 0, or -1 when it did not fit (the
// buffer then holds a terminated prefix, or nothing if size is 0).
JX_EXPORT int ZUNET_ip2str(const ZUNET_SockAddr* addr, char* buffer, size_t size);
}

#endif
