#!/usr/bin/env bash
# Runs every test executable of a build (default build/dev) under valgrind's
# memcheck and fails on any memory error or leak not in scripts/valgrind.supp.
#
# --run-libc-freeres=no: at exit memcheck normally makes glibc free its
# stdio buffers, walking FILE objects that the still-running watcher thread
# may be closing at that moment; a normal exit never does that walk.
set -uo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/dev}
status=0
for t in $(find "$build/tests" -type f -perm -u+x \( -name 'test_*' -o -name '*_tests' \) | sort); do
  log=$build/valgrind-$(basename "$t").log
  valgrind --tool=memcheck --error-exitcode=99 --leak-check=full \
    --errors-for-leak-kinds=definite,indirect,possible \
    --show-leak-kinds=definite,indirect,possible --run-libc-freeres=no \
    --suppressions=scripts/valgrind.supp --log-file="$log.%p" "$t" >"$log" 2>&1
  rc=$?
  errors=$(cat "$log".* | sed -n 's/.*ERROR SUMMARY: \([0-9]*\) errors.*/\1/p' | awk '{s+=$1} END {print s+0}')
  procs=$(ls "$log".* | wc -l)
  tests=$(sed -n 's/^\[  PASSED  \] \([0-9]*\) tests\?\..*/\1/p' "$log")
  echo "$(basename "$t"): exit $rc, ${tests:-0} tests passed, $errors memcheck errors in $procs processes"
  [ "$rc" -eq 0 ] && [ "$errors" -eq 0 ] || status=1
done
exit $status
