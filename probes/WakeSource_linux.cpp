// The netlink listener of a wake source; see internal/WakeSource.h.
#include "internal/WakeSource.h"

#include <errno.h>
#include <linux/netlink.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <exception>
#include <string>

#include <cxxabi.h>

#include "JxException.h"

namespace oscprobe::internal {

namespace {

std::string errorText(const char* prefix, int err) { return std::string(prefix) + strerror(err); }

} // namespace

NetlinkListener::NetlinkListener(WakeRegistry& registry, const Spec& spec)
    : log(nullptr), registry_(registry), spec_(spec)
{
}

NetlinkListener::~NetlinkListener() { closeSocket(); }

void NetlinkListener::run(const Source& source)
{
    source_ = &source;
    try {
        // The socket is made here, on the listener's own thread: a socket
        // that cannot be made is the listener's failure, like one that fails.
        openSocket();
        registry_.listening();
        buffer_.reset(new unsigned char[spec_.bufferSize]);
        if (source.opened)
            source.opened();
        for (;;) {
            interesting_ = false;
            const int limit = source.waitLimitMs ? source.waitLimitMs() : -1;
            if (limit >= 0) {
                struct pollfd pfd = {sock_, POLLIN, 0};
                const int ready = limit > 0 ? poll(&pfd, 1, limit) : 0;
                if (ready < 0 && errno == EINTR)
                    continue;
                if (ready == 0) {
                    source.timedOut();
                    continue;
                }
            }
            receive(0);
            if (!interesting_)
                continue;
            drain();
            source.batch();
        }
    } catch (JxException& e) {
        log.Error(e.getFuncName(), "%s", e.getMessage());
    } catch (abi::__forced_unwind&) {
        // Thread cancellation unwinds through here and must go on.
        throw;
    } catch (std::exception& e) {
        log.Error(spec_.tag, "%s", e.what());
    } catch (...) {
        log.Error(spec_.tag, "Unknown exception");
    }
    // No second listener, and every later start() says false. The last pass
    // lets waiting hosts re-evaluate rather than wait for a wake-up that
    // will not come.
    closeSocket();
    registry_.fail();
    registry_.pass();
}

void NetlinkListener::openSocket()
{
    sock_ = socket(AF_NETLINK, spec_.type | SOCK_CLOEXEC, spec_.protocol);
    if (sock_ < 0)
        throw JxException(spec_.tag, errorText(spec_.socketText, errno), spec_.file,
                          spec_.socketLine, -1);
    struct sockaddr_nl address;
    memset(&address, 0, sizeof address);
    address.nl_family = AF_NETLINK;
    address.nl_groups = spec_.groups;
    if (bind(sock_, reinterpret_cast<struct sockaddr*>(&address), sizeof address) < 0)
        throw JxException(spec_.tag, errorText(spec_.bindText, errno), spec_.file, spec_.bindLine,
                          -1);
}

// One datagram into the buffer; false when a non-blocking receive found the
// queue empty.
bool NetlinkListener::receive(int flags)
{
    for (;;) {
        struct sockaddr_nl sender;
        struct iovec iov;
        iov.iov_base = buffer_.get();
        iov.iov_len = spec_.bufferSize;
        struct msghdr msg;
        memset(&msg, 0, sizeof msg);
        msg.msg_name = &sender;
        msg.msg_namelen = sizeof sender;
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;

        const int32_t length = static_cast<int32_t>(recvmsg(sock_, &msg, flags));
        if (length >= 0) {
            if (source_->interesting(buffer_.get(), static_cast<size_t>(length)))
                interesting_ = true;
            return true;
        }
        const int err = errno;
        if (err == EINTR)
            continue;
        if (err == EAGAIN || err == EWOULDBLOCK)
            return false;
        if (err == ENOBUFS) {
            // The queue overflowed and the kernel dropped messages; the
            // socket itself is fine, and the batch covers what was lost.
            log.DebugLvl(spec_.tag, 2, "%s%s", spec_.lostText, strerror(err));
            interesting_ = true;
            return true;
        }
        throw JxException(spec_.tag, errorText(spec_.receiveText, err), spec_.file,
                          spec_.receiveLine, -1);
    }
}

// Messages come in bursts (an address storm, a charger announcing the mains
// supply and every battery), far faster than a batch is handled. Whatever is
// already queued is covered by the one batch that follows, so take it off
// the queue first. The bound keeps a sender that never pauses from delaying
// the batch for ever.
void NetlinkListener::drain()
{
    for (int drained = 0; drained < kMaxDrained; ++drained)
        if (!receive(MSG_DONTWAIT))
            break;
}

bool NetlinkListener::queued() const
{
    struct pollfd pfd = {sock_, POLLIN, 0};
    return poll(&pfd, 1, 0) != 0;
}

void NetlinkListener::closeSocket()
{
    if (sock_ >= 0)
        close(sock_);
    sock_ = -1;
}

} // namespace oscprobe::internal
