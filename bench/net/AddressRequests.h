// AddressRequests: adds and removes IPv4 addresses through an rtnetlink
// socket of its own, each request acknowledged by the kernel, and says when
// the acknowledgement arrived. Many requests go out as one stream: several
// per datagram, their acknowledgements read back as they come.
//
// Threading: one thread uses an object at a time.
#ifndef OSCPROBE_BENCH_ADDRESSREQUESTS_H
#define OSCPROBE_BENCH_ADDRESSREQUESTS_H

#include <cstdint>
#include <string>
#include <vector>

namespace oscprobe_bench {

class AddressRequests {
public:
    struct Address {
        int ifindex;
        uint32_t ipv4; // host byte order
        int prefix;
    };

    AddressRequests();
    ~AddressRequests();
    AddressRequests(const AddressRequests&) = delete;
    AddressRequests& operator=(const AddressRequests&) = delete;

    // Empty when the socket is ready, else why not.
    const std::string& error() const { return error_; }

    // Adds (or removes) every address, in order; returns the steady-clock
    // time in nanoseconds at which the last acknowledgement was read, or -1
    // when the kernel refused one (error() then says why).
    int64_t add(const std::vector<Address>& addresses) { return send(addresses, true); }
    int64_t remove(const std::vector<Address>& addresses) { return send(addresses, false); }

private:
    int64_t send(const std::vector<Address>& addresses, bool add);
    bool readAcks(int count);

    int fd_ = -1;
    uint32_t seq_ = 0;
    std::string error_;
};

} // namespace oscprobe_bench

#endif
