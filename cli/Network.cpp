// `oscprobe network`: what identifies the network the machine is on, as
// the --network IDs that would say go here, ready to paste.
#include <stdio.h>

#include <list>
#include <string>

#include <nlohmann/json.hpp>

#include "Commands.h"
#include "Errors.h"
#include "NetLibrary.h"
#include "Text.h"
#include "oscprobe.h"

namespace oscprobe_cli {

namespace {

// As a shell takes it back: quoted when a Wi-Fi name holds blanks, quotes
// or other characters a shell would act on; control bytes made visible.
std::string shellWord(const std::string& id)
{
    const bool plain = !id.empty() && id.find_first_not_of(
                                          "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                          "0123456789:._-+@%/,=") == std::string::npos;
    if (plain)
        return id;
    std::string quoted = "'";
    for (const char c : id)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return printable(quoted + "'");
}

} // namespace

int runNetwork(bool json)
{
    std::list<std::string> ids;
    try {
        ids = netLibrary().currentNetworkIds();
    } catch (const JxException& e) {
        fprintf(stderr, "oscprobe network: %s: %s\n", e.getFuncName(),
                printable(e.getMessage()).c_str());
        return EXIT_PROBE_FAILED;
    }
    if (json) {
        nlohmann::ordered_json doc;
        doc["ids"] = nlohmann::ordered_json::array();
        for (const std::string& id : ids)
            doc["ids"].push_back(id);
        printf("%s\n", jsonText(doc, 2).c_str());
    } else if (ids.empty()) {
        fprintf(stderr, "oscprobe network: nothing identifies this network: no default gateway "
                        "whose hardware address the kernel knows, and no Wi-Fi name\n");
    }
    for (const std::string& id : ids)
        if (!json)
            printf("--network %s\n", shellWord(id).c_str());
    return ids.empty() ? EXIT_NO_GO : EXIT_ALL_GO;
}

} // namespace oscprobe_cli
