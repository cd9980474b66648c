// The Linux half of OscProbeSubNet's listing: every interface with its
// addresses and kind, from SIOCGIFCONF, /proc/net/if_inet6, the wireless and
// hardware-address requests and, for Wi-Fi that does not answer the
// wireless request, sysfs. The parsers it uses live in
// internal/OscProbeSubNetInternal.cpp; the watcher in
// OscProbeSubNetWatcher_linux.cpp.
//
// Threading: every call has its own sockets, file and map; no lock.
#include "OscProbeSubNet.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <errno.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <linux/wireless.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <new>
#include <string>
#include <utility>

#include "JxException.h"
#include "ZuUtils.h"
#include "internal/Handles.h"
#include "internal/OscProbeSubNetInternal.h"

namespace {

const char* const kSourceFile = "OscProbeSubNet_linux";
const char* const kListFunc = "OscProbeSubNet::getIFList";

// Error sites keep stable line identifiers so hosts' log filters see the
// same numbers release after release.
constexpr int kLineIpSocket = 52;
constexpr int kLineOutOfMemory = 56;
constexpr int kLineIfconf = 61;
constexpr int kLineInet6HighDigit = 118;
constexpr int kLineInet6LowDigit = 126;
constexpr int kLineInet6Open = 103;

constexpr int kFirstIfconfLength = 1024;
constexpr size_t kInet6LineSize = 128;

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
        // IPv4 before IPv6, whose addresses were listed first.
        std::list<ZUNET_SockAddr>& addrs = byName[name].addrs;
        addrs.insert(std::find_if(addrs.begin(), addrs.end(),
                                  [](const ZUNET_SockAddr& a) {
                                      uint16_t family;
                                      memcpy(&family, a.raw, sizeof family);
                                      return family == AF_INET6;
                                  }),
                     addr);
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
    oscprobe::internal::FileHandle file(fopen("/proc/net/if_inet6", "re"));
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


} // namespace

std::list<OscProbeSubNet::Iface> OscProbeSubNet::getIFList()
{
    // One socket serves the address list and the kind requests: making and
    // closing a socket costs as much as several requests on it, and with few
    // interfaces that is much of a listing's cost.
    // The IPv6 file is read and closed before the socket is made: a listing
    // needs one spare descriptor, never two.
    IfaceMap byName;
    collectIPv6(byName);
    FdGuard sock;
    sock.fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (sock.fd < 0)
        throw JxException(kListFunc, errorText("Failed to create IP control socket: ", errno),
                          kSourceFile, kLineIpSocket, -1);
    collectIPv4(sock.fd, byName);
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
