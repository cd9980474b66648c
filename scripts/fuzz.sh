#!/usr/bin/env bash
# Runs libFuzzer targets of a fuzz-preset build one after the other, each for
# a set time, and prints one summary line per target: executions and
# findings. Findings (inputs that fault) land in BUILD/findings/ with the
# target's name as prefix; copy each into fuzz/corpus/NAME/ once fixed.
#
#   scripts/fuzz.sh SECONDS [TARGET...]     (default: every target)
set -uo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
shift || true
build=build/fuzz
mkdir -p "$build/findings"
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for d in fuzz/corpus/*/; do targets+=("$(basename "$d")"); done
fi
status=0
for t in "${targets[@]}"; do
  bin=$(find "$build/fuzz" -maxdepth 2 -type f -name "$t" -perm -u+x | head -n 1)
  if [ -z "$bin" ]; then echo "$t: not built" >&2; status=1; continue; fi
  scratch=$(dirname "$bin")/corpus-$t
  mkdir -p "$scratch"
  log=$build/findings/$t.log
  "$bin" -max_total_time="$seconds" -max_len=4096 -print_final_stats=1 \
    -artifact_prefix="$build/findings/$t-" "$scratch" "fuzz/corpus/$t" >"$log" 2>&1
  rc=$?
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  findings=$(ls "$build/findings" | grep -c "^$t-" || true)
  echo "$t: ${execs:-?} executions in ${seconds} s, ${findings} findings, exit ${rc}"
  [ "$rc" -eq 0 ] || status=1
done
exit $status
