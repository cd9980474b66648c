#include "ZuNetwork.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/socket.h>

#include <cstdint>

namespace {

uint16_t familyOf(const ZUNET_SockAddr* addr)
{
    uint16_t family;
    memcpy(&family, addr->raw, sizeof family);
    return family;
}

} // namespace

int ZUNET_str2ip(const char* text, ZUNET_SockAddr* out)
{
    memset(out->raw, 0, sizeof out->raw);
    if (text == nullptr)
        return -1;
    struct in_addr v4;
    struct in6_addr v6;
    uint16_t family;
    if (inet_pton(AF_INET, text, &v4) == 1) {
        family = AF_INET;
        memcpy(out->raw, &family, sizeof family);
        memcpy(out->raw + 4, &v4, sizeof v4);
        return 0;
    }
    if (inet_pton(AF_INET6, text, &v6) == 1) {
        family = AF_INET6;
        memcpy(out->raw, &family, sizeof family);
        memcpy(out->raw + 8, &v6, sizeof v6);
        return 0;
    }
    return -1;
}

int ZUNET_ip2str(const ZUNET_SockAddr* addr, char* buffer, size_t size)
{
    if (buffer == nullptr || size == 0)
        return -1;
    char text[INET6_ADDRSTRLEN] = "?";
    const uint16_t family = familyOf(addr);
    if (family == AF_INET)
        inet_ntop(AF_INET, addr->raw + 4, text, sizeof text);
    else if (family == AF_INET6)
        inet_ntop(AF_INET6, addr->raw + 8, text, sizeof text);
    const size_t len = strlen(text);
    if (len >= size) {
        memcpy(buffer, text, size - 1);
        buffer[size - 1] = '\0';
        return -1;
    }
    memcpy(buffer, text, len + 1);
    return 0;
}
