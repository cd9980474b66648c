// `oscprobe ifaces`: the interfaces as the network probe sees them.
#include <stdint.h>
#include <stdio.h>

#include <list>
#include <string>

#include <nlohmann/json.hpp>

#include "Commands.h"
#include "Errors.h"
#include "Text.h"
#include "oscprobe.h"

namespace oscprobe_cli {

namespace {

std::string addressText(const ZUNET_SockAddr& addr)
{
    char buf[128];
    ZUNET_ip2str(&addr, buf, sizeof buf);
    return buf;
}

} // namespace

int runIfaces(bool json)
{
    std::list<OscProbeSubNet::Iface> ifaces;
    uint32_t crc = 0;
    try {
        ifaces = OscProbeSubNet::getIFList();
        crc = OscProbeSubNet::getIfaceConfigCRC32();
    } catch (const JxException& e) {
        fprintf(stderr, "oscprobe: %s: %s\n", e.getFuncName(), printable(e.getMessage()).c_str());
        return EXIT_PROBE_FAILED;
    }

    char crcText[16];
    snprintf(crcText, sizeof crcText, "0x%08X", crc);

    if (json) {
        nlohmann::ordered_json doc;
        doc["interfaces"] = nlohmann::ordered_json::array();
        for (const auto& i : ifaces) {
            nlohmann::ordered_json addrs = nlohmann::ordered_json::array();
            for (const auto& a : i.addrs)
                addrs.push_back(addressText(a));
            doc["interfaces"].push_back(
                {{"name", i.name}, {"kind", OscProbeSubNet::iftype2str(i.type)}, {"addresses", addrs}});
        }
        doc["config_crc32"] = crcText;
        printf("%s\n", jsonText(doc, 2).c_str());
        return EXIT_ALL_GO;
    }

    for (const auto& i : ifaces) {
        printf("%-16s %-9s", printable(i.name).c_str(), OscProbeSubNet::iftype2str(i.type));
        const char* sep = " ";
        for (const auto& a : i.addrs) {
            printf("%s%s", sep, addressText(a).c_str());
            sep = ", ";
        }
        printf("\n");
    }
    // Computed by a second enumeration: it can differ from the list above
    // when an address changed in between.
    printf("configuration checksum %s\n", crcText);
    return EXIT_ALL_GO;
}

} // namespace oscprobe_cli
