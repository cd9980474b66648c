// The pure halves of OscProbeSubNet: the parsers of what the kernel hands
// over (/proc/net/if_inet6 lines, netlink datagrams), of a subnet
// definition's prefix length, the subnet arithmetic, and the comparisons of
// interface lists that the watcher decides by. No system
// call here: the tests and fuzzers run them on captured kernel text.
#include "internal/OscProbeSubNetInternal.h"

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <string.h>
#include <sys/socket.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdint>
#include <list>
#include <string>
#include <vector>

namespace {

using Iface = OscProbeSubNet::Iface;

bool sameAddress(const ZUNET_SockAddr& a, const ZUNET_SockAddr& b)
{
    return memcmp(a.raw, b.raw, sizeof a.raw) == 0;
}

// A list of up to this many addresses is only ever searched. A longer one
// is searched through at most about this many times its length in all;
// after that its lookup sorts a copy instead.
constexpr size_t kAlwaysSearched = 16;
constexpr size_t kSearchedLengths = 2;

// Answers whether one record's address list holds each address of a walk
// over another record's, which is nearly always the same addresses in the
// same order: the kernel lists an interface's addresses in a stable order.
// So the entry at the same place is tried first. When it is not the one,
// the list is searched on from there, then from the front, and the walk goes
// on in step from where the address was found: an address gone or come
// before that place then costs one search, not one per address after it.
// Should the searches add up to more than twice the list's length (the lists
// differ in order), a sorted copy answers the rest. Short lists are only
// ever searched, so that comparing them allocates nothing.
class AddressLookup {
public:
    explicit AddressLookup(const std::list<ZUNET_SockAddr>& addrs)
        : addrs_(addrs), samePlace_(addrs.begin())
    {
    }

    bool holds(const ZUNET_SockAddr& x)
    {
        if (samePlace_ != addrs_.end() && sameAddress(*samePlace_, x)) {
            ++samePlace_;
            return true;
        }
        if (sorted_.empty() && (addrs_.size() <= kAlwaysSearched ||
                                searched_ < kSearchedLengths * addrs_.size()))
            return search(x);
        if (sorted_.empty()) {
            sorted_.assign(addrs_.begin(), addrs_.end());
            std::sort(sorted_.begin(), sorted_.end(), oscprobe::internal::addressBefore);
        }
        return std::binary_search(sorted_.begin(), sorted_.end(), x,
                                  oscprobe::internal::addressBefore);
    }

private:
    // An address that is not there takes no place: the walk's next address
    // is tried at the same place.
    bool search(const ZUNET_SockAddr& x)
    {
        const auto from = samePlace_;
        for (auto it = from; it != addrs_.end(); ++it)
            if (found(it, x))
                return true;
        for (auto it = addrs_.begin(); it != from; ++it)
            if (found(it, x))
                return true;
        return false;
    }

    bool found(std::list<ZUNET_SockAddr>::const_iterator it, const ZUNET_SockAddr& x)
    {
        ++searched_;
        if (!sameAddress(*it, x))
            return false;
        samePlace_ = ++it;
        return true;
    }

    const std::list<ZUNET_SockAddr>& addrs_;
    std::list<ZUNET_SockAddr>::const_iterator samePlace_;
    size_t searched_ = 0;
    std::vector<ZUNET_SockAddr> sorted_;
};

} // namespace

namespace oscprobe::internal {

std::string getToken(const char*& cursor)
{
    while (*cursor != '\0' && isspace(static_cast<unsigned char>(*cursor)))
        ++cursor;
    const char* begin = cursor;
    while (*cursor != '\0' && !isspace(static_cast<unsigned char>(*cursor)))
        ++cursor;
    return std::string(begin, cursor);
}

namespace {
int hexValue(char c)
{
    int lower = tolower(static_cast<unsigned char>(c));
    if (lower >= '0' && lower <= '9')
        return lower - '0';
    if (lower >= 'a' && lower <= 'f')
        return lower - 'a' + 10;
    return -1;
}
} // namespace

Inet6LineStatus parseIfInet6Line(const char* line, ZUNET_SockAddr* addr, std::string* name)
{
    memset(addr, 0, sizeof *addr);
    const uint16_t family = AF_INET6;
    memcpy(addr->raw, &family, sizeof family);
    // Address bytes 0-15 sit at bytes 8-23 of the socket address. Each
    // digit is checked before the next is read, so a NUL stops the parse.
    for (int i = 0; i < 16; ++i) {
        int high = hexValue(line[2 * i]);
        if (high < 0)
            return Inet6LineStatus::BadHighDigit;
        int low = hexValue(line[2 * i + 1]);
        if (low < 0)
            return Inet6LineStatus::BadLowDigit;
        addr->raw[8 + i] = static_cast<unsigned char>(high * 16 + low);
    }
    // Index, prefix length, scope and flags are not recorded.
    const char* cursor = line + 32;
    for (int i = 0; i < 4; ++i)
        getToken(cursor);
    *name = getToken(cursor);
    return Inet6LineStatus::Ok;
}

long findFirstNewAddr(const void* data, long length)
{
    const unsigned char* bytes = static_cast<const unsigned char*>(data);
    long remaining = length;
    long offset = 0;
    // A remainder shorter than a header fails NLMSG_OK's length test anyway;
    // checking it first keeps the header read inside the data.
    while (remaining >= static_cast<long>(sizeof(struct nlmsghdr))) {
        struct nlmsghdr header;
        memcpy(&header, bytes + offset, sizeof header);
        if (header.nlmsg_len < sizeof(struct nlmsghdr) ||
            header.nlmsg_len > static_cast<unsigned long>(remaining))
            return -1;
        if (header.nlmsg_type == RTM_NEWADDR)
            return offset;
        long step = static_cast<long>(NLMSG_ALIGN(header.nlmsg_len));
        remaining -= step;
        offset += step;
    }
    return -1;
}

bool parseNewAddress(const void* message, long length, ZUNET_SockAddr* addr)
{
    const unsigned char* bytes = static_cast<const unsigned char*>(message);
    struct nlmsghdr header;
    struct ifaddrmsg ifa;
    if (length < static_cast<long>(NLMSG_LENGTH(sizeof ifa)))
        return false;
    memcpy(&header, bytes, sizeof header);
    if (header.nlmsg_type != RTM_NEWADDR || header.nlmsg_len < NLMSG_LENGTH(sizeof ifa) ||
        header.nlmsg_len > static_cast<unsigned long>(length))
        return false;
    memcpy(&ifa, bytes + NLMSG_HDRLEN, sizeof ifa);
    const size_t size = ifa.ifa_family == AF_INET ? 4 : ifa.ifa_family == AF_INET6 ? 16 : 0;
    if (size == 0)
        return false;

    const unsigned char* local = nullptr;
    const unsigned char* address = nullptr;
    const size_t end = header.nlmsg_len;
    size_t offset = NLMSG_LENGTH(NLMSG_ALIGN(sizeof ifa));
    while (offset + sizeof(struct rtattr) <= end) {
        struct rtattr attr;
        memcpy(&attr, bytes + offset, sizeof attr);
        if (attr.rta_len < sizeof attr || attr.rta_len > end - offset)
            break;
        if (attr.rta_len - RTA_LENGTH(0) == size) {
            if (attr.rta_type == IFA_LOCAL)
                local = bytes + offset + RTA_LENGTH(0);
            else if (attr.rta_type == IFA_ADDRESS)
                address = bytes + offset + RTA_LENGTH(0);
        }
        offset += RTA_ALIGN(attr.rta_len);
    }
    const unsigned char* chosen = local != nullptr ? local : address;
    if (chosen == nullptr)
        return false;
    memset(addr, 0, sizeof *addr);
    const uint16_t family = ifa.ifa_family;
    memcpy(addr->raw, &family, sizeof family);
    // IPv4 bytes sit at 4-7 of the socket address, IPv6 bytes at 8-23.
    memcpy(addr->raw + (size == 4 ? 4 : 8), chosen, size);
    return true;
}

bool collectNewAddresses(const void* data, long length, std::vector<ZUNET_SockAddr>* out,
                         size_t limit)
{
    const unsigned char* bytes = static_cast<const unsigned char*>(data);
    bool any = false;
    long offset = 0;
    while (offset < length) {
        const long found = findFirstNewAddr(bytes + offset, length - offset);
        if (found < 0)
            break;
        any = true;
        offset += found;
        ZUNET_SockAddr addr;
        if (out->size() < limit && parseNewAddress(bytes + offset, length - offset, &addr))
            out->push_back(addr);
        struct nlmsghdr header;
        memcpy(&header, bytes + offset, sizeof header);
        offset += static_cast<long>(NLMSG_ALIGN(header.nlmsg_len));
    }
    return any;
}

namespace {
uint16_t familyOf(const ZUNET_SockAddr& a)
{
    uint16_t family;
    memcpy(&family, a.raw, sizeof family);
    return family;
}

// Where the address bytes lie in the 28-byte layout: IPv4 at 4-7, IPv6 at 8-23.
size_t addressOffset(const ZUNET_SockAddr& a) { return familyOf(a) == AF_INET ? 4 : 8; }
size_t addressLength(const ZUNET_SockAddr& a) { return familyOf(a) == AF_INET ? 4 : 16; }
} // namespace

OscProbeSubNet::SubNet makeSubnet(const ZUNET_SockAddr& network, int prefix)
{
    OscProbeSubNet::SubNet subnet;
    subnet.addr = network;
    subnet.mask = network;
    const size_t end = addressOffset(network) + addressLength(network);
    for (size_t i = addressOffset(network); i < end; ++i, prefix -= 8) {
        const unsigned char bits =
            prefix >= 8 ? 0xFF : prefix > 0 ? static_cast<unsigned char>(0xFF << (8 - prefix)) : 0;
        subnet.mask.raw[i] = bits;
        subnet.addr.raw[i] &= bits;
    }
    return subnet;
}

bool subnetContains(const OscProbeSubNet::SubNet& subnet, const ZUNET_SockAddr& addr)
{
    if (familyOf(addr) != familyOf(subnet.addr))
        return false;
    const size_t end = addressOffset(addr) + addressLength(addr);
    for (size_t i = addressOffset(addr); i < end; ++i)
        if (subnet.addr.raw[i] != (addr.raw[i] & subnet.mask.raw[i]))
            return false;
    return true;
}

long long parsePrefixLength(const char* text)
{
    while (isspace(static_cast<unsigned char>(*text)))
        ++text;
    bool negative = false;
    if (*text == '+' || *text == '-') {
        negative = *text == '-';
        ++text;
    }
    // Accumulate past the range of int only as far as needed to know that
    // the value left it; the rest of the digits cannot bring it back.
    const long long outside = static_cast<long long>(INT_MAX) + 1;
    long long value = 0;
    while (*text >= '0' && *text <= '9') {
        if (value <= outside)
            value = value * 10 + (*text - '0');
        ++text;
    }
    if (negative)
        return value > outside ? -outside - 1 : -value;
    return value > INT_MAX ? outside : value;
}

bool addressBefore(const ZUNET_SockAddr& a, const ZUNET_SockAddr& b)
{
    return memcmp(a.raw, b.raw, sizeof a.raw) < 0;
}

bool namesUnlistedAddress(const std::list<OscProbeSubNet::Iface>& listed,
                          const std::vector<ZUNET_SockAddr>& named, size_t limit)
{
    // The newest first: in a burst, the earlier ones may have made it into
    // the last listing already.
    const size_t checked = std::min(limit, named.size());
    for (size_t i = 0; i < checked; ++i) {
        const ZUNET_SockAddr& x = named[named.size() - 1 - i];
        const bool known = std::any_of(listed.begin(), listed.end(), [&x](const Iface& iface) {
            return std::any_of(iface.addrs.begin(), iface.addrs.end(),
                               [&x](const ZUNET_SockAddr& a) { return sameAddress(a, x); });
        });
        if (!known)
            return true;
    }
    return false;
}

bool onlyNamedAdditions(const std::list<OscProbeSubNet::Iface>& snapshot,
                        const std::list<OscProbeSubNet::Iface>& fresh,
                        const std::vector<ZUNET_SockAddr>& named)
{
    auto isNamed = [&named](const ZUNET_SockAddr& x) {
        return std::binary_search(named.begin(), named.end(), x, addressBefore);
    };
    auto old = snapshot.begin();
    for (const Iface& now : fresh) {
        while (old != snapshot.end() && old->name < now.name)
            ++old; // a record that has gone
        if (old == snapshot.end() || old->name != now.name) {
            if (!std::all_of(now.addrs.begin(), now.addrs.end(), isNamed))
                return false;
            continue;
        }
        if (old->type != now.type)
            return false;
        AddressLookup before(old->addrs);
        for (const ZUNET_SockAddr& x : now.addrs)
            if (!before.holds(x) && !isNamed(x))
                return false;
        ++old;
    }
    return true;
}


// Whether `fresh` differs from `snapshot`: another number of interfaces, or
// some snapshot entry without an equal one in the fresh list. Both lists come
// from getIFList(), ascending by name with each name once, so the only entry
// that can equal a snapshot entry is the one at the same place: a walk in
// step answers the same as searching the whole fresh list for each entry,
// without the quadratic cost that a thousand interfaces make noticeable.
bool interfacesChanged(const std::list<Iface>& snapshot, const std::list<Iface>& fresh)
{
    if (snapshot.size() != fresh.size())
        return true;
    return !std::equal(snapshot.begin(), snapshot.end(), fresh.begin());
}

WakeDecision decideWake(const std::list<Iface>& snapshot, const std::list<Iface>& fresh,
                        const std::vector<ZUNET_SockAddr>& named, bool wokeEarly,
                        bool queuePending)
{
    if (!interfacesChanged(snapshot, fresh))
        return WakeDecision::NOTHING_CHANGED;
    if (wokeEarly && !queuePending && onlyNamedAdditions(snapshot, fresh, named))
        return WakeDecision::ALREADY_WOKEN;
    return WakeDecision::WAKE;
}

} // namespace oscprobe::internal

bool OscProbeSubNet::Iface::operator==(const Iface& other) const
{
    if (name != other.name)
        return false;
    if (type != other.type)
        return false;
    if (addrs.size() != other.addrs.size())
        return false;
    // Only whether an equal address exists in the other list counts, not
    // where, nor how often.
    AddressLookup theirs(other.addrs);
    return std::all_of(addrs.begin(), addrs.end(),
                       [&theirs](const ZUNET_SockAddr& mine) { return theirs.holds(mine); });
}
