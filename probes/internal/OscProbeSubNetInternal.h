// Parsers behind OscProbeSubNet, kept apart from the code that asks the
// kernel so that they can be tested on captured kernel text and fuzzed.
// Not installed, not exported; reached through the static archive only.
//
// Threading: every function here is pure (no shared state).
#ifndef OSCPROBE_INTERNAL_OSCPROBESUBNETINTERNAL_H
#define OSCPROBE_INTERNAL_OSCPROBESUBNETINTERNAL_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "ZuNetwork.h"

namespace oscprobe::internal {

// Skips white space (isspace on the unsigned character), then takes
// characters up to the next white space or the NUL. `cursor` is left on
// that delimiter, which is not consumed. The result may be empty.
std::string getToken(const char*& cursor);

// Outcome of parsing one line of /proc/net/if_inet6.
enum class Inet6LineStatus {
    Ok,
    BadHighDigit, // the first digit of some address byte is no hex digit
    BadLowDigit   // the second digit of some address byte is no hex digit
};

// Parses one line of /proc/net/if_inet6 ("<32 hex digits> <index> <prefix>
// <scope> <flags> <name>"). The first 32 characters, with no leading blank,
// are the address, two digits per byte, either case. On Ok `*addr` holds the
// address (family 10, every other byte zero) and `*name` the fifth token
// after the digits (empty on a short line). Reads no further than the NUL.
Inet6LineStatus parseIfInet6Line(const char* line, ZUNET_SockAddr* addr, std::string* name);

// Walks one netlink datagram of `length` bytes the way NLMSG_OK/NLMSG_NEXT
// do and returns the byte offset of the first RTM_NEWADDR message, or -1
// when the walk ends (end of data, a header shorter than itself, or a
// message longer than what remains) without one. `data` need not be
// aligned.
long findFirstNewAddr(const void* data, long length);

// The prefix length of a subnet definition ("8" of "10.0.0.0/8"), read
// like atoi(): leading white space and one sign accepted, digits up to the
// first other character, no digits giving 0. A value outside the range of
// int is clamped to just outside it (INT_MAX + 1 or INT_MIN - 1), so that
// a range check rejects it instead of seeing a wrapped number.
long long parsePrefixLength(const char* text);

} // namespace oscprobe::internal

#endif
