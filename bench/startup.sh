#!/bin/sh
# Start-up cost of the tool: `oscprobe check --ac` against systemd's own
# `systemd-ac-power`, which answers the same question from the same files.
# Each runs RUNS times alternately (so both see the same load); prints one
# JSON object with the mean wall time per run in milliseconds and the
# shared libraries each loads.
#
#   bench/startup.sh path/to/oscprobe [runs]
set -eu
tool=${1:?usage: startup.sh path/to/oscprobe [runs]}
runs=${2:-300}
ac_power=$(command -v systemd-ac-power || echo /lib/systemd/systemd-ac-power)
now() { date +%s%N; }
ours=0 theirs=0 i=0
while [ $i -lt "$runs" ]; do
  t=$(now); "$tool" check --ac >/dev/null 2>&1 || true; ours=$((ours + $(now) - t))
  t=$(now); "$ac_power" >/dev/null 2>&1 || true; theirs=$((theirs + $(now) - t))
  i=$((i + 1))
done
libs() { ldd "$1" | grep -c '=>'; }
awk -v runs="$runs" -v ours="$ours" -v theirs="$theirs" -v ol="$(libs "$tool")" -v tl="$(libs "$ac_power")" 'BEGIN {
  printf "{\"runs\":%d,\"check_ac_ms\":%.3f,\"systemd_ac_power_ms\":%.3f,\"ratio\":%.2f,\"check_ac_libraries\":%d,\"systemd_ac_power_libraries\":%d}\n",
    runs, ours / runs / 1e6, theirs / runs / 1e6, ours / theirs, ol, tl }'
