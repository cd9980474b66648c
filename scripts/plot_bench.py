#!/usr/bin/python3
"""Plots the network benchmark's JSON output (make bench writes it to
build/bench/results/bench_net.json): the cost of one interface listing and
the wake latency against the number of interfaces, for the library and the
references measured beside it in the same run.

    scripts/plot_bench.py [build/bench/results/bench_net.json] [docs/bench_network.png]

A docs tool: needs python3-matplotlib (Debian), not part of the build.
"""
import json
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402


def series(benchmarks, family, counter):
    """(sizes, values) of `counter` for one family: the median over the
    repetitions when the run has them, else the single run."""
    aggregated = any(b.get("aggregate_name") == "median" for b in benchmarks)
    points = []
    for b in benchmarks:
        if aggregated and b.get("aggregate_name") != "median":
            continue
        name = b["name"].split("/")
        if name[0] == family and counter in b:
            points.append((int(name[1]), b[counter]))
    points.sort()
    return [p[0] for p in points], [p[1] for p in points]


def main():
    source = sys.argv[1] if len(sys.argv) > 1 else "build/bench/results/bench_net.json"
    target = sys.argv[2] if len(sys.argv) > 2 else "docs/bench_network.png"
    with open(source) as f:
        benchmarks = json.load(f)["benchmarks"]

    fig, (enum, wake) = plt.subplots(1, 2, figsize=(11, 4.6))

    x, lib = series(benchmarks, "Enumeration", "lib_ns")
    _, ref = series(benchmarks, "Enumeration", "ref_ns")
    enum.plot(x, [v / 1e3 for v in lib], "o-", color="tab:blue", label="getIFList()")
    enum.plot(x, [v / 1e3 for v in ref], "s--", color="tab:gray", label="getifaddrs() (C library)")
    _, ratio = series(benchmarks, "Enumeration", "ratio")
    for n, l, r, q in zip(x, lib, ref, ratio):
        enum.annotate(f"{q:.2f}×", (n, max(l, r) / 1e3), textcoords="offset points",
                      xytext=(-10, 8), fontsize=8, color="tab:blue")
    enum.set_title("One interface listing (median; labels: library / C library)")
    enum.set_ylabel("µs per call")

    x, lib_med = series(benchmarks, "WakeLatency", "lib_med_us")
    _, lib_p99 = series(benchmarks, "WakeLatency", "lib_p99_us")
    _, ref_med = series(benchmarks, "WakeLatency", "ref_med_us")
    _, ref_p99 = series(benchmarks, "WakeLatency", "ref_p99_us")
    _, enum_us = series(benchmarks, "WakeLatency", "enum_us")
    wake.plot(x, lib_med, "o-", color="tab:blue", label="host's monitor wait (median)")
    wake.plot(x, lib_p99, "o:", color="tab:blue", alpha=0.6, label="host's monitor wait (p99)")
    wake.plot(x, ref_med, "s--", color="tab:gray", label="bare netlink recv (median)")
    wake.plot(x, ref_p99, "s:", color="tab:gray", alpha=0.6, label="bare netlink recv (p99)")
    wake.plot(x, [r + e for r, e in zip(ref_med, enum_us)], "^-.", color="tab:green",
              label="target: bare median + one listing")
    wake.set_title("Wake latency after the kernel's acknowledgement")
    wake.set_ylabel("µs")

    for ax in (enum, wake):
        ax.set_xscale("log")
        ax.set_yscale("log")
        ax.set_xlabel("interfaces (bridges, one IPv4 + one IPv6 link-local each)")
        ax.grid(True, which="both", alpha=0.3)
    enum.legend(fontsize=8, loc="lower right")
    wake.legend(fontsize=8, loc="upper left")
    # Room for the ratio labels (after the log scale, which would clamp it).
    enum.set_ylim(min(lib + ref) / 1e3 / 2, max(lib + ref) / 1e3 * 3)
    fig.tight_layout()
    fig.savefig(target, dpi=110)
    print(f"wrote {target}")


if __name__ == "__main__":
    main()
