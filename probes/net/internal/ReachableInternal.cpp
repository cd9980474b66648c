// The reachable probe's addresses, words and answer; see ReachableInternal.h.
#include "internal/ReachableInternal.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace oscprobe::internal {

std::string formatSocketAddress(const SocketAddress& address)
{
    char text[INET6_ADDRSTRLEN] = "?";
    const void* raw = nullptr;
    if (address.family() == AF_INET)
        raw = &reinterpret_cast<const sockaddr_in*>(&address.storage)->sin_addr;
    else if (address.family() == AF_INET6)
        raw = &reinterpret_cast<const sockaddr_in6*>(&address.storage)->sin6_addr;
    if (raw == nullptr || inet_ntop(address.family(), raw, text, sizeof text) == nullptr)
        return "?";
    return text;
}

void setPort(SocketAddress* address, uint16_t port)
{
    if (address->family() == AF_INET)
        reinterpret_cast<sockaddr_in*>(&address->storage)->sin_port = htons(port);
    else if (address->family() == AF_INET6)
        reinterpret_cast<sockaddr_in6*>(&address->storage)->sin6_port = htons(port);
}

std::vector<SocketAddress> pickAddresses(const addrinfo* list, size_t max)
{
    std::vector<SocketAddress> byFamily[2];
    for (const addrinfo* a = list; a != nullptr; a = a->ai_next) {
        const bool v4 = a->ai_family == AF_INET;
        const socklen_t want = v4 ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
        if ((!v4 && a->ai_family != AF_INET6) || a->ai_addr == nullptr || a->ai_addrlen != want ||
            a->ai_addr->sa_family != a->ai_family)
            continue;
        SocketAddress one;
        memcpy(&one.storage, a->ai_addr, want);
        one.length = want;
        std::vector<SocketAddress>& same = byFamily[v4];
        // getaddrinfo() gives an address once per socket type unless told
        // one; an address is tried once.
        if (std::none_of(same.begin(), same.end(), [&](const SocketAddress& s) {
                return memcmp(&s.storage, &one.storage, want) == 0;
            }))
            same.push_back(one);
    }
    // The family the list puts first goes first.
    const bool v4First = list != nullptr && list->ai_family == AF_INET;
    std::vector<SocketAddress> out;
    for (size_t i = 0; out.size() < max && (i < byFamily[0].size() || i < byFamily[1].size()); ++i)
        for (const std::vector<SocketAddress>& same : {byFamily[v4First], byFamily[!v4First]})
            if (i < same.size() && out.size() < max)
                out.push_back(same[i]);
    return out;
}

namespace {

std::string errorWords(int error)
{
    switch (error) {
    case 0:
    case ETIMEDOUT:
        return "no answer";
    case ECONNREFUSED:
        return "connection refused";
    case EHOSTUNREACH:
        return "host unreachable";
    case ENETUNREACH:
        return "network unreachable";
    case EACCES:
    case EPERM:
        return "connection not permitted";
    case EAFNOSUPPORT:
        return "address family not supported";
    default: {
        std::string words = strerror(error);
        if (!words.empty())
            words[0] = static_cast<char>(tolower(static_cast<unsigned char>(words[0])));
        return words;
    }
    }
}

} // namespace

std::string failureWords(const TargetOutcome& target)
{
    switch (target.lookup) {
    case TargetOutcome::LATE:
        return "name not resolved in time";
    case TargetOutcome::FAILED:
        if (target.lookupError == EAI_NONAME || target.lookupError == EAI_NODATA)
            return "name not known";
        return target.lookupError == EAI_AGAIN ? "name lookup failed for now" : "name lookup failed";
    default:
        break;
    }
    const std::vector<int>& e = target.errors;
    if (e.empty())
        return "no address";
    if (std::find(e.begin(), e.end(), ECONNREFUSED) != e.end())
        return errorWords(ECONNREFUSED);
    if (std::find(e.begin(), e.end(), 0) != e.end())
        return errorWords(0);
    return errorWords(e.front());
}

std::string formatSeconds(int ms)
{
    std::string text = std::to_string(ms / 1000);
    if (ms % 1000 != 0) {
        std::string fraction = std::to_string(1000 + ms % 1000).substr(1);
        fraction.erase(fraction.find_last_not_of('0') + 1);
        text += "." + fraction;
    }
    return text + " s";
}

bool decideReach(const std::vector<TargetOutcome>& targets, int timeoutMs, std::string* text)
{
    for (const TargetOutcome& t : targets) {
        if (!t.answered.empty()) {
            *text = t.text + " answered (" + t.answered + ")";
            return true;
        }
    }
    *text = "no target answered within " + formatSeconds(timeoutMs) + ":";
    for (size_t i = 0; i < targets.size(); ++i)
        *text += (i == 0 ? " " : ", ") + targets[i].text + " (" + failureWords(targets[i]) + ")";
    return false;
}

bool reuseLast(bool have, std::chrono::steady_clock::duration age, unsigned long long then,
               unsigned long long now)
{
    return have && age < std::chrono::seconds(1) && then == now;
}

} // namespace oscprobe::internal
