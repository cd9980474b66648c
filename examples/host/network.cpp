// A minimal host of liboscprobe-net: is this machine on one of the networks
// named on the command line, and why (or why not)?
//
//   network ID...   (each aa:bb:cc:dd:ee:ff, a default gateway's hardware
//                    address, or ssid:NAME)
//
// Exit status 0 go, 1 no-go, 2 bad input or a failed probe.
#include <oscprobe/OscProbeNetwork.h>

#include <cstdio>
#include <list>
#include <string>

#include <oscprobe/JxException.h>
#include <oscprobe/SP.h>

int main(int argc, char** argv)
{
    try {
        SP<OscProbeNetwork> probe(new OscProbeNetwork(std::list<std::string>(argv + 1, argv + argc)));
        OscProbeNetwork::Finding finding;
        const bool go = probe->probe(&finding);
        std::printf("%s: %s\n", go ? "go" : "no-go", finding.text.c_str());
        return go ? 0 : 1;
    } catch (const JxException& e) {
        std::fprintf(stderr, "%s\n", e.getMessage());
        return 2;
    }
}
