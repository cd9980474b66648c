// The Linux half of OscProbeSubNet: listing the interfaces with their
// addresses and kinds, and the address-change watcher.
//
// Lock order: probe_csec, then at most one host monitor. The watcher holds
// no lock while it waits for the kernel, lists the interfaces or compares.
#include "OscProbeSubNet.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <errno.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <linux/wireless.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cctype>
#include <climits>
#include <cstdint>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#include <cxxabi.h>

#include "JxCriticalSection.h"
#include "JxCriticalSectionLock.h"
#include "JxException.h"
#include "JxMonitorLock.h"
#include "JxThread.h"
#include "SP.h"
#include "ZuUtils.h"
#include "internal/OscProbeSubNetInternal.h"

namespace {

const char* const kSourceFile = "OscProbeSubNet_linux";
const char* const kListFunc = "OscProbeSubNet::getIFList";
const char* const kWatcherTag = "OscProbeSubNet::thread_func";

// Error sites keep stable line identifiers so hosts' log filters see the
// same numbers release after release.
constexpr int kLineIpSocket = 52;
constexpr int kLineOutOfMemory = 56;
constexpr int kLineIfconf = 61;
constexpr int kLineInet6HighDigit = 118;
constexpr int kLineInet6LowDigit = 126;
constexpr int kLineInet6Open = 103;
constexpr int kLineNetlinkSocket = 256;
constexpr int kLineNetlinkBind = 262;
constexpr int kLineNetlinkRecv = 273;

constexpr int kFirstIfconfLength = 1024;
constexpr size_t kInet6LineSize = 128;
constexpr size_t kNetlinkBufferSize = 4096;
// Well above what a default-sized receive queue holds of one-address datagrams.
constexpr int kMaxDrainedDatagrams = 1024;
// Of the addresses one round's messages name, this many are looked up in
// the last listing before the re-read (each lookup walks every listed
// address), this many recorded in all, and room for more than this many
// given back after the round.
constexpr size_t kEarlyChecks = 4;
constexpr size_t kMaxNamedAddresses = 8192;
constexpr size_t kMaxKeptNamed = 256;

using Iface = OscProbeSubNet::Iface;
using IfaceMap = std::map<std::string, Iface>;

// Closes a descriptor on every way out of a scope.
struct FdGuard {
    int fd = -1;
    ~FdGuard()
    {
        if (fd >= 0)
            close(fd);
    }
};

struct FileCloser {
    void operator()(FILE* f) const { fclose(f); }
};

std::string errorText(const char* prefix, int err) { return std::string(prefix) + strerror(err); }

// Copies an interface name into a 16-byte request field, at most 15
// characters so that it stays terminated.
void setRequestName(char (&field)[IFNAMSIZ], const std::string& name)
{
    memset(field, 0, sizeof field);
    memcpy(field, name.data(), std::min(name.size(), sizeof field - 1));
}

// Hardware types that count as a wired link.
bool isWiredHardware(unsigned short type)
{
    switch (type) {
    case ARPHRD_ETHER:
    case ARPHRD_EETHER:
    case ARPHRD_AX25:
    case ARPHRD_PRONET:
    case ARPHRD_CHAOS:
    case ARPHRD_IEEE802:
    case ARPHRD_ARCNET:
    case ARPHRD_APPLETLK:
    case ARPHRD_DLCI:
    case ARPHRD_ATM:
    case ARPHRD_METRICOM:
    case ARPHRD_IEEE1394:
    case ARPHRD_FDDI:
        return true;
    default:
        return type >= ARPHRD_ASH && type <= ARPHRD_FCFABRIC;
    }
}

// IPv4 addresses, from SIOCGIFCONF on `sock`.
void collectIPv4(int sock, IfaceMap& byName)
{
    std::unique_ptr<char[]> buffer;
    int length = kFirstIfconfLength;
    struct ifconf ifc;
    for (;;) {
        // The doubling has no bound of its own; only an int overflow of the
        // request length stops it, as a failed allocation would.
        if (length <= 0)
            throw JxException(kListFunc, "Out of memory", kSourceFile, kLineOutOfMemory, -1);
        buffer.reset(new (std::nothrow) char[static_cast<size_t>(length)]);
        if (!buffer)
            throw JxException(kListFunc, "Out of memory", kSourceFile, kLineOutOfMemory, -1);
        memset(&ifc, 0, sizeof ifc);
        ifc.ifc_len = length;
        ifc.ifc_buf = buffer.get();
        if (ioctl(sock, SIOCGIFCONF, &ifc) < 0)
            throw JxException(kListFunc,
                              errorText("Failed to query the list of IPv4 interfaces: ", errno),
                              kSourceFile, kLineIfconf, -1);
        // The kernel silently stops at the last record that fits, so an
        // answer that fills every whole record may have been cut short.
        if (static_cast<size_t>(ifc.ifc_len) / sizeof(struct ifreq) !=
            static_cast<size_t>(length) / sizeof(struct ifreq))
            break;
        int next = length > INT_MAX / 2 ? -1 : length * 2;
        // Past the second try, ask how much room the whole list needs (the
        // kernel answers that for a null buffer) instead of doubling on: with
        // thousands of addresses every try walks them all under the routing
        // lock, which an address storm holds most of the time. An eighth more
        // leaves room for addresses that come up meanwhile; should even that
        // fill up, the doubling goes on from there.
        struct ifconf sizing;
        memset(&sizing, 0, sizeof sizing);
        if (next > 0 && length >= 2 * kFirstIfconfLength &&
            ioctl(sock, SIOCGIFCONF, &sizing) == 0 && sizing.ifc_len > next) {
            const long wanted = static_cast<long>(sizing.ifc_len) + sizing.ifc_len / 8 +
                                static_cast<long>(sizeof(struct ifreq));
            next = wanted > INT_MAX ? -1 : static_cast<int>(wanted);
        }
        length = next;
    }

    const char* start = buffer.get();
    const size_t returned = static_cast<size_t>(ifc.ifc_len);
    const size_t held = static_cast<size_t>(length);
    for (size_t offset = 0; offset < returned && offset + sizeof(struct ifreq) <= held;
         offset += sizeof(struct ifreq)) {
        struct ifreq req;
        memcpy(&req, start + offset, sizeof req);
        if (req.ifr_addr.sa_family != AF_INET)
            continue;
        ZUNET_SockAddr addr;
        memset(&addr, 0, sizeof addr);
        memcpy(addr.raw, &req.ifr_addr, sizeof(struct sockaddr_in));
        std::string name(req.ifr_name, strnlen(req.ifr_name, sizeof req.ifr_name));
        byName[name].addrs.push_back(addr);
    }
}

// IPv6 addresses, from /proc/net/if_inet6. A kernel without IPv6 has no
// such file, which is not an error; any other failure to open it is, since
// a listing without the IPv6 addresses would answer no-go for them.
void collectIPv6(IfaceMap& byName)
{
    // A buffer of our own spares stdio the stat and the heap buffer it would
    // otherwise set up at the first read. Declared first, it outlives the file.
    char stdioBuffer[4096];
    std::unique_ptr<FILE, FileCloser> file(fopen("/proc/net/if_inet6", "re"));
    if (!file) {
        if (errno == ENOENT)
            return;
        throw JxException(kListFunc, errorText("Couldn't open /proc/net/if_inet6: ", errno),
                          kSourceFile, kLineInet6Open, -1);
    }
    setvbuf(file.get(), stdioBuffer, _IOFBF, sizeof stdioBuffer);
    const char* const invalidContents = "Invalid contents of /proc/net/if_inet6: ";
    char line[kInet6LineSize];
    while (fgets(line, sizeof line, file.get()) != nullptr) {
        line[sizeof line - 1] = '\0';
        ZUNET_SockAddr addr;
        std::string name;
        switch (oscprobe::internal::parseIfInet6Line(line, &addr, &name)) {
        case oscprobe::internal::Inet6LineStatus::BadHighDigit:
            throw JxException(kListFunc, std::string(invalidContents) + line, kSourceFile,
                              kLineInet6HighDigit, -1);
        case oscprobe::internal::Inet6LineStatus::BadLowDigit:
            throw JxException(kListFunc, std::string(invalidContents) + line, kSourceFile,
                              kLineInet6LowDigit, -1);
        case oscprobe::internal::Inet6LineStatus::Ok:
            break;
        }
        byName[name].addrs.push_back(addr);
    }
}

// Whether sysfs lists any cfg80211 device. Without one no interface can be
// marked wireless there, so a machine without Wi-Fi pays one directory read
// per listing and no look-up per interface. Without sysfs the answer is no,
// and the hardware type decides as before.
bool anyWirelessDevice()
{
    DIR* dir = opendir("/sys/class/ieee80211");
    if (dir == nullptr)
        return false;
    bool found = false;
    // One stream of this call's own: readdir is safe on any thread here.
    while (const struct dirent* e = readdir(dir)) {
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) {
            found = true;
            break;
        }
    }
    closedir(dir);
    return found;
}

// Whether the kernel marks `name` as a cfg80211 interface in sysfs. An alias
// (eth0:1) is asked under its interface's name, as the kernel does for the
// ioctls. A name that could leave /sys/class/net (a hand-made line of
// /proc/net/if_inet6 may carry anything) is never asked.
bool markedWireless(const std::string& name)
{
    const std::string device = name.substr(0, name.find(':'));
    if (device.empty() || device.size() >= IFNAMSIZ || device == "." || device == ".." ||
        device.find('/') != std::string::npos)
        return false;
    const std::string base = "/sys/class/net/" + device;
    return access((base + "/wireless").c_str(), F_OK) == 0 ||
           access((base + "/phy80211").c_str(), F_OK) == 0;
}

// Names every record and decides its kind, asking through `sock`. The
// wireless test runs first: a wireless adapter reports an Ethernet hardware
// type too.
std::list<Iface> classify(int sock, IfaceMap& byName)
{
    std::list<Iface> result;
    // A kernel built without wireless extensions answers every wireless
    // request with ENOTTY, whatever the interface (one with them answers
    // ENODEV or EOPNOTSUPP for an interface that is not wireless). One such
    // answer settles the question for the whole listing, and spares a
    // system call per interface.
    bool askWireless = true;
    // Kernels without wireless extensions, and drivers that leave them out,
    // answer no wireless request at all; sysfs still marks their Wi-Fi
    // interfaces. Looked at once, when the first request goes unanswered.
    enum { NotLooked, NoDevice, SomeDevice } sysfsWireless = NotLooked;
    for (auto& entry : byName) {
        Iface& iface = entry.second;
        iface.name = entry.first;

        bool wireless = false;
        if (askWireless) {
            struct iw_statistics stats;
            memset(&stats, 0, sizeof stats);
            struct iwreq wreq;
            memset(&wreq, 0, sizeof wreq);
            setRequestName(wreq.ifr_ifrn.ifrn_name, iface.name);
            wreq.u.data.pointer = &stats;
            wreq.u.data.length = 0;
            wreq.u.data.flags = 1;
            wireless = ioctl(sock, SIOCGIWSTATS, &wreq) == 0;
            askWireless = wireless || errno != ENOTTY;
        }
        if (!wireless) {
            if (sysfsWireless == NotLooked)
                sysfsWireless = anyWirelessDevice() ? SomeDevice : NoDevice;
            wireless = sysfsWireless == SomeDevice && markedWireless(iface.name);
        }

        bool wired = false;
        if (!wireless) {
            struct ifreq req;
            memset(&req, 0, sizeof req);
            setRequestName(req.ifr_name, iface.name);
            if (ioctl(sock, SIOCGIFHWADDR, &req) == 0)
                wired = isWiredHardware(req.ifr_hwaddr.sa_family);
        }
        iface.type = wired ? OscProbeSubNet::WIRED
                           : (wireless ? OscProbeSubNet::WIRELESS : OscProbeSubNet::UNKNOWN);
        result.push_back(std::move(iface));
    }
    return result;
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

// Whether the watcher's socket has a notification (or an overflow) waiting.
// A failed poll counts as yes: the caller then takes the cautious path.
bool notificationPending(int sock)
{
    struct pollfd pfd = {sock, POLLIN, 0};
    return poll(&pfd, 1, 0) != 0;
}

// The registry and its lock are made on first use and never destroyed: the
// detached watcher and the stop() of a probe released during exit may still
// reach them after static destructors have run.
JxCriticalSection& probeCsec()
{
    static JxCriticalSection& probe_csec = *new JxCriticalSection;
    return probe_csec;
}

std::list<SP<OscProbeSubNet>>& probeList()
{
    static std::list<SP<OscProbeSubNet>>& probe_list = *new std::list<SP<OscProbeSubNet>>;
    return probe_list;
}

// Guarded by probe_csec.
bool thread_started = false;
// Set by the watcher when it ends; read by start() without the lock.
std::atomic<bool> thread_failed{false};

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

std::list<OscProbeSubNet::Iface> OscProbeSubNet::getIFList()
{
    // One socket serves the address list and the kind requests: making and
    // closing a socket costs as much as several requests on it, and with few
    // interfaces that is much of a listing's cost.
    FdGuard sock;
    sock.fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (sock.fd < 0)
        throw JxException(kListFunc, errorText("Failed to create IP control socket: ", errno),
                          kSourceFile, kLineIpSocket, -1);
    IfaceMap byName;
    collectIPv4(sock.fd, byName);
    collectIPv6(byName);
    return classify(sock.fd, byName);
}

uint32_t OscProbeSubNet::getIfaceConfigCRC32()
{
    unsigned int crc = 0xFFFFFFFFu;
    const std::list<Iface> ifaces = getIFList();
    for (const Iface& iface : ifaces) {
        jx_crc32(iface.name.data(), iface.name.size(), &crc);
        const int32_t type = iface.type;
        jx_crc32(&type, sizeof type, &crc);
        for (const ZUNET_SockAddr& addr : iface.addrs)
            jx_crc32(addr.raw, sizeof addr.raw, &crc);
    }
    return crc;
}

bool OscProbeSubNet::start(JxMonitor* newMonitor)
{
    if (thread_failed.load())
        return false;
    monitor.store(newMonitor);

    JxCriticalSectionLock lock(&probeCsec());
    std::list<SP<OscProbeSubNet>>& registry = probeList();
    bool registered = std::any_of(registry.begin(), registry.end(),
                                  [this](const SP<OscProbeSubNet>& p) { return p.get() == this; });
    if (!registered)
        registry.push_back(SP<OscProbeSubNet>(this));
    if (!thread_started) {
        JxThread creator;
        creator.createDetachedThread(&OscProbeSubNet::thread_func, nullptr);
        thread_started = true;
    }
    return true;
}

void OscProbeSubNet::stop()
{
    monitor.store(nullptr);
    // The removed entry outlives the lock: if it holds the last reference,
    // the probe is destroyed when `removed` goes, and its destructor calls
    // stop() again, which must be able to take probe_csec.
    std::list<SP<OscProbeSubNet>> removed;
    {
        JxCriticalSectionLock lock(&probeCsec());
        std::list<SP<OscProbeSubNet>>& registry = probeList();
        for (auto it = registry.begin(); it != registry.end(); ++it) {
            if (it->get() == this) {
                removed.splice(removed.begin(), registry, it);
                break;
            }
        }
    }
}

namespace {

// The address-change watcher: one per process, on its own detached thread,
// which owns every member. Each round receives a datagram, drains what else
// is queued, wakes the hosts at once when a named address is new, re-reads
// the interfaces and wakes them (again) when the list changed in a way the
// early wake-up did not cover.
//
// A failed listing (no descriptor or memory to spare for a moment) does not
// end the watcher: the hosts are woken to look for themselves, the snapshot
// is kept, and the listing is tried again at the next notification or after
// a back-off. Only a failing netlink socket ends the thread.
class Watcher {
public:
    // `wakeAll` runs one broadcast pass over the registry.
    explicit Watcher(std::function<void()> wakeAll) : log(nullptr), wakeAll_(std::move(wakeAll)) {}
    ~Watcher() { closeSocket(); }
    Watcher(const Watcher&) = delete;
    Watcher& operator=(const Watcher&) = delete;

    // Runs until the socket fails; throws JxException then.
    void run();

    // The end of the thread: no second watcher, and every later start() says
    // false. The last pass lets waiting hosts re-evaluate rather than wait
    // for a wake-up that will not come.
    void fail()
    {
        closeSocket();
        thread_failed.store(true);
        wakeAll_();
    }

    EvDebug log;

private:
    using Clock = std::chrono::steady_clock;

    // The first retry of a failed listing comes this soon; each further
    // failure doubles the wait, up to the longest.
    static constexpr std::chrono::milliseconds kFirstBackoff{500};
    static constexpr std::chrono::milliseconds kLongestBackoff{30000};

    void openSocket();
    bool receive(int flags);
    void drain();
    void check();
    bool reRead(std::list<Iface>* fresh, bool wakeOnFailure);
    void retryListing();
    void reportChange();
    void closeSocket()
    {
        if (sock_ >= 0)
            close(sock_);
        sock_ = -1;
    }

    std::function<void()> wakeAll_;
    int sock_ = -1;
    struct sockaddr_nl address_;
    alignas(struct nlmsghdr) unsigned char buffer_[kNetlinkBufferSize];
    std::list<Iface> snapshot_;
    // The snapshot missed the last listing: it may be out of date.
    bool stale_ = false;
    Clock::time_point retryAt_;
    std::chrono::milliseconds backoff_{kFirstBackoff};
    // This round's datagrams hold a new address or an overflow.
    bool mustCheck_ = false;
    // The addresses that this round's new-address messages name.
    std::vector<ZUNET_SockAddr> named_;
};

void Watcher::run()
{
    // The socket is bound before the first snapshot: an address that comes
    // up in between is then both in the queue and possibly in the snapshot,
    // never in neither.
    openSocket();
    reRead(&snapshot_, false);
    // A host may have probed before the snapshot and missed an address that
    // came up meanwhile; a spurious wake-up costs it one probe().
    wakeAll_();

    for (;;) {
        mustCheck_ = false;
        // A storm's worth of addresses is let go again at once.
        if (named_.capacity() > kMaxKeptNamed)
            std::vector<ZUNET_SockAddr>().swap(named_);
        named_.clear();
        if (stale_) {
            // Wait for the kernel no longer than the next retry.
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(retryAt_ - Clock::now());
            struct pollfd pfd = {sock_, POLLIN, 0};
            const int ready = left.count() > 0 ? poll(&pfd, 1, static_cast<int>(left.count())) : 0;
            if (ready < 0 && errno == EINTR)
                continue;
            if (ready == 0) {
                retryListing();
                continue;
            }
        }
        receive(0);
        if (!mustCheck_)
            continue;
        drain();
        check();
    }
}

void Watcher::openSocket()
{
    sock_ = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (sock_ < 0)
        throw JxException(kWatcherTag, errorText("Couldn't create netlink routing socket: ", errno),
                          kSourceFile, kLineNetlinkSocket, -1);
    memset(&address_, 0, sizeof address_);
    address_.nl_family = AF_NETLINK;
    address_.nl_groups = RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR;
    if (bind(sock_, reinterpret_cast<struct sockaddr*>(&address_), sizeof address_) < 0)
        throw JxException(kWatcherTag, errorText("Couldn't bind netlink routing socket: ", errno),
                          kSourceFile, kLineNetlinkBind, -1);
}

// One datagram into the buffer; false when a non-blocking receive found the
// queue empty. A datagram that holds a new address, or an overflow (a
// dropped notification may have been one), sets mustCheck_.
bool Watcher::receive(int flags)
{
    for (;;) {
        struct iovec iov;
        iov.iov_base = buffer_;
        iov.iov_len = sizeof buffer_;
        struct msghdr msg;
        memset(&msg, 0, sizeof msg);
        msg.msg_name = &address_;
        msg.msg_namelen = sizeof address_;
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;

        const int32_t length = static_cast<int32_t>(recvmsg(sock_, &msg, flags));
        if (length >= 0) {
            if (oscprobe::internal::collectNewAddresses(buffer_, length, &named_,
                                                        kMaxNamedAddresses))
                mustCheck_ = true;
            return true;
        }
        const int err = errno;
        if (err == EINTR)
            continue;
        if (err == EAGAIN || err == EWOULDBLOCK)
            return false;
        if (err == ENOBUFS) {
            // The queue overflowed during an address storm and the kernel
            // dropped notifications; the socket itself is fine, and the
            // re-read that follows covers whatever was lost.
            log.DebugLvl(kWatcherTag, 2, "Lost routing messages from netlink: %s", strerror(err));
            mustCheck_ = true;
            return true;
        }
        throw JxException(kWatcherTag,
                          errorText("Failed to receive next routing message from netlink: ", err),
                          kSourceFile, kLineNetlinkRecv, -1);
    }
}

// A burst of addresses arrives as one datagram per address, far faster than
// the interfaces can be listed. Whatever is already queued is covered by the
// one re-read that follows, so take it off the queue first: a burst then
// costs one re-read, not one per address. The bound keeps a sender that
// never pauses from delaying the wake-up for ever.
void Watcher::drain()
{
    for (int drained = 0; drained < kMaxDrainedDatagrams; ++drained)
        if (!receive(MSG_DONTWAIT))
            break;
}

void Watcher::check()
{
    // An address that no interface had at the last listing changes the list
    // (unless it has gone again meanwhile), so the hosts are woken before
    // the re-read rather than a listing later: they list the interfaces
    // themselves once woken, and see it. The re-read then only has to find
    // what that wake-up did not cover.
    const bool wokeEarly = oscprobe::internal::namesUnlistedAddress(snapshot_, named_, kEarlyChecks);
    if (wokeEarly)
        reportChange();
    const bool wasStale = stale_;
    std::list<Iface> fresh;
    if (!reRead(&fresh, true) || !interfacesChanged(snapshot_, fresh))
        return;
    // Covered means the wake-up already told the hosts everything: the list
    // gained only named addresses, which came up before it, and lost only
    // what went before it too, since the kernel queues a removal's notice as
    // it removes. So anything still queued may tell of a change since (a
    // named address that went and came back while the hosts listed, say):
    // then wake them once more. A snapshot that missed a listing proves
    // nothing.
    bool covered = false;
    if (wokeEarly && !wasStale && !notificationPending(sock_)) {
        std::sort(named_.begin(), named_.end(), oscprobe::internal::addressBefore);
        covered = oscprobe::internal::onlyNamedAdditions(snapshot_, fresh, named_);
    }
    snapshot_.swap(fresh);
    if (!covered)
        reportChange();
}

// Lists the interfaces into *fresh. On success a stale snapshot is current
// again. On failure the snapshot stays, a retry is planned, and with
// `wakeOnFailure` (a notification asked for the listing) the hosts are
// woken, since the watcher cannot tell them whether the list changed.
bool Watcher::reRead(std::list<Iface>* fresh, bool wakeOnFailure)
{
    try {
        *fresh = OscProbeSubNet::getIFList();
    } catch (JxException& e) {
        if (!stale_)
            log.Error(e.getFuncName(), "%s", e.getMessage());
        else
            backoff_ = std::min(backoff_ * 2, kLongestBackoff);
        stale_ = true;
        retryAt_ = Clock::now() + backoff_;
        if (wakeOnFailure)
            wakeAll_();
        return false;
    }
    stale_ = false;
    backoff_ = kFirstBackoff;
    return true;
}

// A retry after a failed listing, with no notification behind it: the
// hosts were woken when the listing failed, so only a list that turns out
// changed wakes them again.
void Watcher::retryListing()
{
    std::list<Iface> fresh;
    if (!reRead(&fresh, false) || !interfacesChanged(snapshot_, fresh))
        return;
    snapshot_.swap(fresh);
    reportChange();
}

void Watcher::reportChange()
{
    log.Debug(kWatcherTag, "New IP address just came up.");
    wakeAll_();
}

} // namespace

void* OscProbeSubNet::thread_func(void* /*arg*/)
{
    // Wakes every registered monitor once; consecutive entries that share a
    // monitor get one broadcast. Holds probe_csec for the whole pass and
    // each monitor only around its own broadcast.
    Watcher watcher([] {
        JxCriticalSectionLock lock(&probeCsec());
        JxMonitor* last = nullptr;
        for (const SP<OscProbeSubNet>& entry : probeList()) {
            JxMonitor* target = static_cast<OscProbeSubNet*>(entry)->monitor.load();
            if (target == nullptr || target == last)
                continue;
            last = target;
            JxMonitorLock monitorLock(target);
            target->broadcast();
        }
    });

    try {
        watcher.run();
    } catch (JxException& e) {
        watcher.log.Error(e.getFuncName(), "%s", e.getMessage());
        watcher.fail();
    } catch (abi::__forced_unwind&) {
        // Thread cancellation unwinds through here and must go on.
        throw;
    } catch (std::exception& e) {
        watcher.log.Error(kWatcherTag, "%s", e.what());
        watcher.fail();
    } catch (...) {
        watcher.log.Error(kWatcherTag, "Unknown exception");
        watcher.fail();
    }
    return nullptr;
}
