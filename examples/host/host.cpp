// A minimal host: gate work on CPU usage and on an address in a subnet,
// and wait for the network instead of polling it.
//
//   host [SUBNET [CPU_THRESHOLD]]   (defaults: 127.0.0.0/8, which loopback
//                                    satisfies, and 80 percent)
#include <oscprobe/oscprobe.h>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv)
{
    const char* subnet = argc > 1 ? argv[1] : "127.0.0.0/8";
    const int threshold = argc > 2 ? std::atoi(argv[2]) : 80;
    try {
        JxMonitor monitor;
        SP<OscProbeCPU> cpu(new OscProbeCPU(threshold));
        SP<OscProbeSubNet> net(new OscProbeSubNet(std::list<std::string>{subnet}));
        net->start(&monitor); // wake us when an address comes up

        for (int attempt = 0; attempt < 3; ++attempt) {
            const bool cpuGo = cpu->probe();
            const bool netGo = net->probe(); // a go answer stops the probe itself
            if (cpuGo && netGo) {
                std::printf("go: cpu %lld%%\n", cpu->getLastUsage());
                return 0;
            }
            if (!cpuGo)
                std::printf("no-go: reason 0x%08X\n", cpu->getNoGoReason());
            else
                std::printf("no-go: reason 0x%08X\n", net->getNoGoReason());
            JxMonitorLock lock(&monitor);
            monitor.wait(1000); // a broadcast or the timeout: evaluate again
        }
        net->stop(); // before release: the watcher holds a reference until then
        return 1;
    } catch (const JxException& e) {
        std::fprintf(stderr, "%s: %s\n", e.getFuncName(), e.getMessage());
        return 2;
    }
}
