// What ids, targets and rtnetlink messages mean; see NetworkInternal.h.
//
// Every netlink header and attribute is copied out with memcpy after its
// length was checked against what is left: a datagram cut anywhere, or
// with lengths that lie, is read up to the first thing that does not fit
// and no further, whatever the buffer's alignment.
#include "internal/NetworkInternal.h"

#include <arpa/inet.h>
#include <linux/neighbour.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace oscprobe::internal {

namespace {

// The text as the user typed it, quoted, with unprintable bytes escaped:
// it goes into a one-line message.
std::string quoted(const std::string& text)
{
    std::string out = "'";
    for (unsigned char c : text) {
        if (c < 0x20 || c == 0x7f) {
            char hex[5];
            snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "'";
}

int hexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

size_t addressLength(uint8_t family) { return family == AF_INET ? 4 : 16; }

// Calls each(type, payload, payloadLength) for every whole message; stops
// at NLMSG_DONE, NLMSG_ERROR or the first header that does not fit.
template <class F>
DumpStatus walkMessages(const unsigned char* data, size_t length, int* error, F&& each)
{
    size_t off = 0;
    while (off + sizeof(nlmsghdr) <= length) {
        nlmsghdr h;
        memcpy(&h, data + off, sizeof h);
        if (h.nlmsg_len < sizeof h || h.nlmsg_len > length - off)
            break;
        const unsigned char* payload = data + off + NLMSG_HDRLEN;
        const size_t n = h.nlmsg_len - NLMSG_HDRLEN;
        if (h.nlmsg_type == NLMSG_DONE)
            return DumpStatus::DONE;
        if (h.nlmsg_type == NLMSG_ERROR) {
            int code = -EPROTO;
            if (n >= sizeof code)
                memcpy(&code, payload, sizeof code);
            if (code == 0)
                return DumpStatus::DONE; // an acknowledgement
            *error = code < 0 ? -code : code;
            return DumpStatus::FAILED;
        }
        each(h.nlmsg_type, payload, n);
        off += NLMSG_ALIGN(h.nlmsg_len);
    }
    return DumpStatus::MORE;
}

// Calls each(type, payload, payloadLength) for every whole attribute.
template <class F> void walkAttributes(const unsigned char* data, size_t length, F&& each)
{
    size_t off = 0;
    while (off + sizeof(rtattr) <= length) {
        rtattr a;
        memcpy(&a, data + off, sizeof a);
        if (a.rta_len < sizeof a || a.rta_len > length - off)
            return;
        each(a.rta_type, data + off + RTA_LENGTH(0), a.rta_len - RTA_LENGTH(0));
        off += RTA_ALIGN(a.rta_len);
    }
}

bool readU32(const unsigned char* p, size_t n, uint32_t* value)
{
    if (n != sizeof *value)
        return false;
    memcpy(value, p, sizeof *value);
    return true;
}

bool readAddress(uint8_t family, const unsigned char* p, size_t n, std::array<uint8_t, 16>* out)
{
    if (n != addressLength(family))
        return false;
    out->fill(0);
    memcpy(out->data(), p, n);
    return true;
}

// What a route message says that matters here. A route over a link
// without carrier (RTNH_F_LINKDOWN) still counts: the kernel says nothing
// when the carrier comes back, and the gateway's hardware address, learnt
// again then, is what a listener watching it is told.
struct RouteFacts {
    bool defaultMain = false; // dst_len 0 in the main table, not a cached clone
    bool unicast = false;
    std::vector<Gateway> hops; // with an address and an interface each
};

bool readRoute(const unsigned char* p, size_t n, RouteFacts* facts)
{
    rtmsg r;
    if (n < sizeof r)
        return false;
    memcpy(&r, p, sizeof r);
    if (r.rtm_family != AF_INET && r.rtm_family != AF_INET6)
        return false;
    uint32_t table = r.rtm_table, priority = 0, oif = 0;
    Gateway one;
    one.family = r.rtm_family;
    bool haveGateway = false;
    std::vector<Gateway> multipath;
    walkAttributes(p + NLMSG_ALIGN(sizeof r), n - std::min(n, size_t(NLMSG_ALIGN(sizeof r))),
                   [&](unsigned type, const unsigned char* v, size_t len) {
        if (type == RTA_TABLE)
            readU32(v, len, &table);
        else if (type == RTA_PRIORITY)
            readU32(v, len, &priority);
        else if (type == RTA_OIF)
            readU32(v, len, &oif);
        else if (type == RTA_GATEWAY)
            haveGateway = readAddress(r.rtm_family, v, len, &one.address);
        else if (type == RTA_MULTIPATH) {
            // Each next hop of an equal-cost route is a way out of the
            // network: its own interface and a gateway among its attributes.
            size_t off = 0;
            while (off + sizeof(rtnexthop) <= len) {
                rtnexthop hop;
                memcpy(&hop, v + off, sizeof hop);
                if (hop.rtnh_len < sizeof hop || hop.rtnh_len > len - off)
                    break;
                Gateway g;
                g.family = r.rtm_family;
                g.ifindex = hop.rtnh_ifindex;
                bool via = false;
                walkAttributes(v + off + RTNH_LENGTH(0), hop.rtnh_len - RTNH_LENGTH(0),
                               [&](unsigned t, const unsigned char* hv, size_t hn) {
                    if (t == RTA_GATEWAY)
                        via = readAddress(r.rtm_family, hv, hn, &g.address);
                });
                if (via && g.ifindex > 0)
                    multipath.push_back(g);
                off += RTNH_ALIGN(hop.rtnh_len);
            }
        }
    });
    facts->defaultMain = r.rtm_dst_len == 0 && table == RT_TABLE_MAIN && !(r.rtm_flags & RTM_F_CLONED);
    facts->unicast = r.rtm_type == RTN_UNICAST;
    facts->hops.clear();
    one.ifindex = static_cast<int>(oif);
    if (haveGateway && one.ifindex > 0)
        facts->hops.push_back(one);
    facts->hops.insert(facts->hops.end(), multipath.begin(), multipath.end());
    for (Gateway& g : facts->hops)
        g.priority = priority;
    return true;
}

bool readNeighbour(const unsigned char* p, size_t n, Neighbour* entry)
{
    ndmsg m;
    if (n < sizeof m)
        return false;
    memcpy(&m, p, sizeof m);
    if (m.ndm_family != AF_INET && m.ndm_family != AF_INET6)
        return false;
    entry->family = m.ndm_family;
    entry->ifindex = m.ndm_ifindex;
    entry->state = m.ndm_state;
    entry->lladdr.clear();
    bool haveAddress = false;
    walkAttributes(p + NLMSG_ALIGN(sizeof m), n - std::min(n, size_t(NLMSG_ALIGN(sizeof m))),
                   [&](unsigned type, const unsigned char* v, size_t len) {
        if (type == NDA_DST)
            haveAddress = readAddress(m.ndm_family, v, len, &entry->address);
        else if (type == NDA_LLADDR)
            entry->lladdr.assign(v, v + len);
    });
    return haveAddress;
}

} // namespace

bool parseMac(const std::string& text, Mac* mac)
{
    if (text.size() != 17)
        return false;
    const char sep = text[2];
    if (sep != ':' && sep != '-')
        return false;
    for (size_t i = 0; i < 6; ++i) {
        if (i > 0 && text[3 * i - 1] != sep)
            return false;
        const int hi = hexDigit(text[3 * i]), lo = hexDigit(text[3 * i + 1]);
        if (hi < 0 || lo < 0)
            return false;
        (*mac)[i] = static_cast<uint8_t>(hi << 4 | lo);
    }
    return true;
}

std::string formatMac(const Mac& mac)
{
    char text[18];
    snprintf(text, sizeof text, "%02x:%02x:%02x:%02x:%02x:%02x", mac[0], mac[1], mac[2], mac[3],
             mac[4], mac[5]);
    return text;
}

bool parseNetworkId(const std::string& text, NetworkId* id, std::string* why)
{
    static const std::string kSsid = "ssid:";
    if (text.compare(0, kSsid.size(), kSsid) == 0) {
        const std::string name = text.substr(kSsid.size());
        if (name.empty() || name.size() > 32 || name.find('\0') != std::string::npos) {
            *why = quoted(text) + " needs a Wi-Fi name of 1 to 32 bytes (no NUL) after ssid:";
            return false;
        }
        id->isSsid = true;
        id->ssid = name;
        return true;
    }
    if (!parseMac(text, &id->mac)) {
        *why = quoted(text) + " is neither a MAC address (aa:bb:cc:dd:ee:ff) nor ssid:NAME";
        return false;
    }
    id->isSsid = false;
    return true;
}

bool parseTarget(const std::string& text, Target* target, std::string* why)
{
    const auto bad = [&](const char* what) {
        *why = quoted(text) + " is not HOST:PORT or [IPv6]:PORT: " + what;
        return false;
    };
    std::string host, port;
    if (!text.empty() && text[0] == '[') {
        const size_t close = text.find(']');
        if (close == std::string::npos || close + 1 >= text.size() || text[close + 1] != ':')
            return bad("no ]:PORT after the address");
        host = text.substr(1, close - 1);
        unsigned char binary[16];
        if (inet_pton(AF_INET6, host.c_str(), binary) != 1)
            return bad("no IPv6 address in the brackets");
        port = text.substr(close + 2);
    } else {
        const size_t colon = text.rfind(':');
        if (colon == std::string::npos)
            return bad("no port");
        host = text.substr(0, colon);
        port = text.substr(colon + 1);
        if (host.find(':') != std::string::npos)
            return bad("an IPv6 address goes in brackets");
    }
    if (host.empty())
        return bad("no host");
    if (host.size() > 253)
        return bad("the host is longer than 253 bytes");
    for (unsigned char c : host)
        if (c <= ' ' || c == 0x7f)
            return bad("a blank or control byte in the host");
    unsigned long value = 0;
    for (char c : port)
        value = c >= '0' && c <= '9' && value <= 65535 ? value * 10 + (c - '0') : 65536;
    if (port.empty() || value < 1 || value > 65535)
        return bad("the port must be 1 to 65535");
    target->host = host;
    target->port = static_cast<uint16_t>(value);
    return true;
}

std::string formatAddress(uint8_t family, const std::array<uint8_t, 16>& address)
{
    char text[INET6_ADDRSTRLEN];
    if (inet_ntop(family == AF_INET ? AF_INET : AF_INET6, address.data(), text, sizeof text) ==
        nullptr)
        return "?";
    return text;
}

DumpStatus parseRouteDump(const unsigned char* data, size_t length, std::vector<Gateway>* out,
                          int* error)
{
    return walkMessages(data, length, error,
                        [out](unsigned type, const unsigned char* p, size_t n) {
        RouteFacts facts;
        if (type == RTM_NEWROUTE && readRoute(p, n, &facts) && facts.defaultMain && facts.unicast)
            out->insert(out->end(), facts.hops.begin(), facts.hops.end());
    });
}

void orderGateways(std::vector<Gateway>* gateways)
{
    std::stable_sort(gateways->begin(), gateways->end(),
                     [](const Gateway& a, const Gateway& b) { return a.priority < b.priority; });
}

DumpStatus parseNeighbourDump(const unsigned char* data, size_t length, std::vector<Neighbour>* out,
                              int* error)
{
    return walkMessages(data, length, error,
                        [out](unsigned type, const unsigned char* p, size_t n) {
        Neighbour entry;
        if (type == RTM_NEWNEIGH && readNeighbour(p, n, &entry))
            out->push_back(std::move(entry));
    });
}

bool knownMac(const Neighbour& entry, Mac* mac)
{
    if (entry.lladdr.size() != mac->size() || (entry.state & (NUD_INCOMPLETE | NUD_FAILED)) != 0)
        return false;
    std::copy(entry.lladdr.begin(), entry.lladdr.end(), mac->begin());
    return true;
}

std::vector<GatewaySeen> identifyGateways(const std::vector<Gateway>& gateways,
                                          const std::vector<Neighbour>& neighbours)
{
    std::vector<GatewaySeen> seen;
    for (const Gateway& g : gateways) {
        if (std::find_if(seen.begin(), seen.end(),
                         [&g](const GatewaySeen& s) { return s.gateway == g; }) != seen.end())
            continue;
        GatewaySeen s;
        s.gateway = g;
        for (const Neighbour& n : neighbours)
            if (n.family == g.family && n.ifindex == g.ifindex && n.address == g.address &&
                knownMac(n, &s.mac))
                s.known = true;
        seen.push_back(s);
    }
    return seen;
}

NetworkVerdict decideNetwork(const std::vector<NetworkId>& wanted,
                             const std::vector<GatewaySeen>& now, const std::string* ssid,
                             std::string* finding)
{
    bool wantsSsid = false;
    for (const NetworkId& id : wanted) {
        wantsSsid = wantsSsid || id.isSsid;
        if (id.isSsid && ssid != nullptr && *ssid == id.ssid) {
            *finding = "on a known network: Wi-Fi network " + quoted(*ssid);
            return NetworkVerdict::KNOWN;
        }
    }
    const auto name = [](const GatewaySeen& g) {
        return "gateway " + formatAddress(g.gateway.family, g.gateway.address);
    };
    for (const GatewaySeen& g : now)
        for (const NetworkId& id : wanted)
            if (!id.isSsid && g.known && g.mac == id.mac) {
                *finding = "on a known network: " + name(g) + " is " + formatMac(g.mac);
                return NetworkVerdict::KNOWN;
            }
    // Without NetworkManager nothing here reads the Wi-Fi name.
    const std::string note =
        wantsSsid && ssid == nullptr ? "; the Wi-Fi name is not known without NetworkManager" : "";
    for (const GatewaySeen& g : now)
        if (!g.known) {
            *finding = name(g) + " not recognised yet (the kernel does not know its hardware "
                                 "address)" + note;
            return NetworkVerdict::NOT_YET;
        }
    std::string seen = ssid != nullptr && wantsSsid ? "Wi-Fi network " + quoted(*ssid) : "";
    for (const GatewaySeen& g : now)
        seen += (seen.empty() ? "" : ", ") + name(g) + " is " + formatMac(g.mac);
    *finding = now.empty() && seen.empty() ? "no default gateway" + note
                                           : seen + ", not a known network" + note;
    return NetworkVerdict::OTHER;
}

bool routeEventMatters(const unsigned char* data, size_t length, std::vector<GatewaySeen>* watched)
{
    bool matters = false;
    int error = 0;
    walkMessages(data, length, &error, [&](unsigned type, const unsigned char* p, size_t n) {
        RouteFacts facts;
        Neighbour entry;
        if (type == RTM_NEWROUTE || type == RTM_DELROUTE) {
            matters = matters || (readRoute(p, n, &facts) && facts.defaultMain);
        } else if ((type == RTM_NEWNEIGH || type == RTM_DELNEIGH) && readNeighbour(p, n, &entry)) {
            for (GatewaySeen& g : *watched) {
                if (g.gateway.family != entry.family || g.gateway.ifindex != entry.ifindex ||
                    g.gateway.address != entry.address)
                    continue;
                Mac mac{};
                const bool known = type == RTM_NEWNEIGH && knownMac(entry, &mac);
                if (known != g.known || (known && mac != g.mac)) {
                    g.known = known;
                    g.mac = mac;
                    matters = true;
                }
            }
        }
    });
    return matters;
}

namespace {

bool readAddressEvent(const unsigned char* p, size_t n, AddressSeen* out)
{
    ifaddrmsg m;
    if (n < sizeof m)
        return false;
    memcpy(&m, p, sizeof m);
    if (m.ifa_family != AF_INET && m.ifa_family != AF_INET6)
        return false;
    out->family = m.ifa_family;
    out->prefixLength = m.ifa_prefixlen;
    out->ifindex = static_cast<int>(m.ifa_index);
    out->flags = m.ifa_flags;
    bool local = false, any = false;
    walkAttributes(p + NLMSG_ALIGN(sizeof m), n - std::min(n, size_t(NLMSG_ALIGN(sizeof m))),
                   [&](unsigned type, const unsigned char* v, size_t len) {
        // The local address is the one the machine has; IFA_ADDRESS is the
        // peer's on a point-to-point link.
        if (type == IFA_LOCAL)
            local = readAddress(m.ifa_family, v, len, &out->address) || local;
        else if (type == IFA_ADDRESS && !local)
            any = readAddress(m.ifa_family, v, len, &out->address) || any;
        else if (type == IFA_FLAGS)
            readU32(v, len, &out->flags);
    });
    return local || any;
}

bool routeMatters(const unsigned char* p, size_t n)
{
    rtmsg r;
    if (n < sizeof r)
        return false;
    memcpy(&r, p, sizeof r);
    uint32_t table = r.rtm_table;
    walkAttributes(p + NLMSG_ALIGN(sizeof r), n - std::min(n, size_t(NLMSG_ALIGN(sizeof r))),
                   [&](unsigned type, const unsigned char* v, size_t len) {
        if (type == RTA_TABLE)
            readU32(v, len, &table);
    });
    const bool kind = r.rtm_type == RTN_UNICAST || r.rtm_type == RTN_BLACKHOLE ||
                      r.rtm_type == RTN_UNREACHABLE || r.rtm_type == RTN_PROHIBIT ||
                      r.rtm_type == RTN_THROW;
    return (r.rtm_family == AF_INET || r.rtm_family == AF_INET6) && kind &&
           table != RT_TABLE_LOCAL && !(r.rtm_flags & RTM_F_CLONED);
}

} // namespace

bool reachEventMatters(const unsigned char* data, size_t length, std::vector<AddressSeen>* seen)
{
    bool matters = false;
    int error = 0;
    walkMessages(data, length, &error, [&](unsigned type, const unsigned char* p, size_t n) {
        AddressSeen a;
        if (type == RTM_NEWROUTE || type == RTM_DELROUTE) {
            matters = routeMatters(p, n) || matters;
        } else if ((type == RTM_NEWADDR || type == RTM_DELADDR) && readAddressEvent(p, n, &a)) {
            auto same = std::find_if(seen->begin(), seen->end(), [&a](const AddressSeen& s) {
                return s.family == a.family && s.prefixLength == a.prefixLength &&
                       s.ifindex == a.ifindex && s.address == a.address;
            });
            const bool known = same != seen->end();
            if (type == RTM_DELADDR) {
                if (known)
                    seen->erase(same);
                matters = true;
            } else if (!known || same->flags != a.flags) {
                if (known)
                    same->flags = a.flags;
                else if (seen->size() < kMaxAddressesSeen)
                    seen->push_back(a);
                else
                    *seen = {a};
                matters = true;
            }
        }
    });
    return matters;
}

} // namespace oscprobe::internal
