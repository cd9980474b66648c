#!/bin/sh
# Resident size of `oscprobe wait --subnet ...` (watcher running) after a
# minute, against a bare netlink address listener (`ip monitor address`)
# started beside it. Both run in a private network namespace with a few
# bridges; an address that matches nothing comes and goes every five
# seconds, so the watcher has work to do. Prints one JSON object.
#
#   bench/wait_rss.sh path/to/oscprobe [seconds]      (needs root)
set -eu
tool=${1:?usage: wait_rss.sh path/to/oscprobe [seconds]}
seconds=${2:-60}

exec unshare --net sh -eu -c '
tool=$1; seconds=$2
ip link set lo up
for k in 0 1 2 3 4 5 6 7 8 9; do
  ip link add br$k type bridge && ip link set br$k up
  ip addr add 10.1.$k.1/24 dev br$k
done
"$tool" wait --subnet 192.0.2.0/24 --quiet >/dev/null 2>&1 &
waiter=$!
ip monitor address >/dev/null 2>&1 &
bare=$!
i=0
while [ $i -lt "$seconds" ]; do
  if [ $((i % 5)) -eq 0 ]; then
    ip addr add 198.51.100.$((i % 250 + 1))/32 dev br0
    ip addr del 198.51.100.$((i % 250 + 1))/32 dev br0
  fi
  sleep 1; i=$((i + 1))
done
kb() { awk -v k="$2:" "\$1 == k { print \$2 }" /proc/$1/status; }
w_rss=$(kb $waiter VmRSS); w_hwm=$(kb $waiter VmHWM); w_threads=$(kb $waiter Threads)
b_rss=$(kb $bare VmRSS)
kill $waiter $bare
wait $waiter $bare 2>/dev/null || true
printf "{\"seconds\": %s, \"wait_rss_kb\": %s, \"wait_hwm_kb\": %s, \"wait_threads\": %s, \"ip_monitor_rss_kb\": %s, \"ratio\": %s}\n" \
  "$seconds" "$w_rss" "$w_hwm" "$w_threads" "$b_rss" "$(awk -v a="$w_rss" -v b="$b_rss" "BEGIN { printf \"%.2f\", a / b }")"
' sh "$tool" "$seconds"
