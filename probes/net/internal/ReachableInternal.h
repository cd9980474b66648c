// The pure part of the reachable probe: which addresses of a lookup are
// tried, what one target's attempts came to in words, the answer, and
// whether the last answer may be given again. The socket work is in
// OscProbeReachable_linux.cpp; which notifications wake it is decided by
// reachEventMatters (internal/NetworkInternal.h).
//
// Threading: free functions on their arguments only; any thread.
#ifndef OSCPROBE_NET_INTERNAL_REACHABLEINTERNAL_H
#define OSCPROBE_NET_INTERNAL_REACHABLEINTERNAL_H

#include <netdb.h>
#include <sys/socket.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace oscprobe::internal {

// An IPv4 or IPv6 socket address.
struct SocketAddress {
    sockaddr_storage storage{};
    socklen_t length = 0;
    int family() const { return storage.ss_family; }
};
// "192.168.1.5", "fe80::1".
std::string formatSocketAddress(const SocketAddress& address);
void setPort(SocketAddress* address, uint16_t port);

// At most this many addresses of one target are tried.
constexpr size_t kMaxAddressesPerTarget = 16;

// The IPv4 and IPv6 addresses of a getaddrinfo() list, each once, at most
// `max`, the families taken in turn (the list's first family first, and
// in the list's order within each), so that a long list of one family
// never crowds out the other.
std::vector<SocketAddress> pickAddresses(const addrinfo* list, size_t max);

// One target as a check found it.
struct TargetOutcome {
    std::string text; // as the user gave it
    enum Lookup { LITERAL, RESOLVED, FAILED, LATE } lookup = LITERAL;
    int lookupError = 0; // getaddrinfo()'s EAI_* code when FAILED
    // One per address tried: 0 when it had not answered by the deadline,
    // else the errno of its failure.
    std::vector<int> errors;
    std::string answered; // the address that accepted the connection
};

// Why a target was not reached, in a few words: "name not known",
// "connection refused", "no answer"... A refusal anywhere says the host is
// there; else an address still silent at the deadline says no answer.
std::string failureWords(const TargetOutcome& target);

// "3 s", "0.3 s", "1.25 s".
std::string formatSeconds(int ms);

// True when a target answered. *text says which, or why none did.
bool decideReach(const std::vector<TargetOutcome>& targets, int timeoutMs, std::string* text);

// Whether the last answer (`have` one, `age` old, found at change count
// `then`) stands at change count `now`: younger than a second, nothing
// changed since.
bool reuseLast(bool have, std::chrono::steady_clock::duration age, unsigned long long then,
               unsigned long long now);

} // namespace oscprobe::internal

#endif
