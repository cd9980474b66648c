// Parsers behind OscProbeSubNet, kept apart from the code that asks the
// kernel so that they can be tested on captured kernel text and fuzzed, and
// the watcher's comparisons of interface lists and its wake decision
// (defined in OscProbeSubNetInternal.cpp).
// Not installed, not exported; reached through the static archive only.
//
// Threading: every function here is pure (no shared state).
#ifndef OSCPROBE_INTERNAL_OSCPROBESUBNETINTERNAL_H
#define OSCPROBE_INTERNAL_OSCPROBESUBNETINTERNAL_H

#include <cstddef>
#include <cstdint>
#include <list>
#include <string>
#include <vector>

#include "OscProbeSubNet.h"
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

// The address that the new-address message at `message` names, in the
// layout the interface listing gives it (family, then the address, every
// other byte zero): its IFA_LOCAL attribute, else its IFA_ADDRESS (the two
// differ only on point-to-point links, where IFA_ADDRESS is the peer).
// `length` is what remains of the datagram from `message` on. False when
// the message is no RTM_NEWADDR, is cut short, is of neither IPv4 nor IPv6,
// or carries no address of its family's size. `message` need not be aligned.
bool parseNewAddress(const void* message, long length, ZUNET_SockAddr* addr);

// Walks one datagram as findFirstNewAddr does, but on past each new-address
// message, appending the address each names to `out` while `out` holds
// fewer than `limit`. Returns whether the datagram holds a new-address
// message at all.
bool collectNewAddresses(const void* data, long length, std::vector<ZUNET_SockAddr>* out,
                         size_t limit);

// Whether one of the last `limit` addresses of `named` is carried by no
// record of `listed`, under any name.
bool namesUnlistedAddress(const std::list<OscProbeSubNet::Iface>& listed,
                          const std::vector<ZUNET_SockAddr>& named, size_t limit);

// Whether every address of `fresh` is either carried by the snapshot's
// record of the same name or in `named`, and every record that both lists
// have is of the same kind in both: what `fresh` lost does not count. Both
// lists are ascending by name with each name once, as getIFList() returns
// them; `named` is sorted by its bytes (memcmp order).
bool onlyNamedAdditions(const std::list<OscProbeSubNet::Iface>& snapshot,
                        const std::list<OscProbeSubNet::Iface>& fresh,
                        const std::vector<ZUNET_SockAddr>& named);

// Whether `fresh` differs from `snapshot` by Iface::operator==: another
// number of records, or some record without an equal one. Both lists come
// from getIFList(), ascending by name with each name once, so the only
// record that can equal one of the snapshot is the one at the same place.
bool interfacesChanged(const std::list<OscProbeSubNet::Iface>& snapshot,
                       const std::list<OscProbeSubNet::Iface>& fresh);

// What the watcher does once it has re-read the interfaces.
enum class WakeDecision {
    NOTHING_CHANGED, // keep the snapshot, wake nobody
    ALREADY_WOKEN,   // take the fresh list; the early wake-up told the hosts
    WAKE             // take the fresh list and wake the hosts
};

// The watcher's decision after a re-read. A change is covered by the
// wake-up given before the re-read (`wokeEarly`, against a snapshot that
// was current) when the list gained only addresses this round's messages
// named (`named`, sorted by addressBefore) and nothing is queued on the
// socket (`queuePending` false): the kernel queues a removal's notice as it
// removes, so an empty queue means nothing went since, and whatever the list
// lost went before the wake-up, which the hosts saw.
WakeDecision decideWake(const std::list<OscProbeSubNet::Iface>& snapshot,
                        const std::list<OscProbeSubNet::Iface>& fresh,
                        const std::vector<ZUNET_SockAddr>& named, bool wokeEarly,
                        bool queuePending);

// memcmp order of socket addresses, the order `named` is sorted in.
bool addressBefore(const ZUNET_SockAddr& a, const ZUNET_SockAddr& b);

// The subnet of the first `prefix` bits of `network`, 1 to 32 for IPv4 and
// 1 to 128 for IPv6: the address with its host bits cleared, and the mask,
// both in the layout of `network`.
OscProbeSubNet::SubNet makeSubnet(const ZUNET_SockAddr& network, int prefix);

// Whether `addr` lies inside `subnet`: of the subnet's family, and equal to
// its address in every bit that the mask keeps.
bool subnetContains(const OscProbeSubNet::SubNet& subnet, const ZUNET_SockAddr& addr);

// The prefix length of a subnet definition ("8" of "10.0.0.0/8"), read
// like atoi(): leading white space and one sign accepted, digits up to the
// first other character, no digits giving 0. A value outside the range of
// int is clamped to just outside it (INT_MAX + 1 or INT_MIN - 1), so that
// a range check rejects it instead of seeing a wrapped number.
long long parsePrefixLength(const char* text);

} // namespace oscprobe::internal

#endif
