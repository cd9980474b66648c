#!/bin/sh
# End-to-end scenarios of `oscprobe wait` and `oscprobe run` against the real
# kernel, each in a network namespace of its own (only lo, down), where
# addresses come and go as the scenario says. Prints what it observed; the
# CTest case matches that with a regex.
#
#   netns.sh OSCPROBE SCENARIO
set -u
oscprobe=$1
scenario=$2

if [ -z "${OSCPROBE_IN_NETNS:-}" ]; then
    if ! unshare --net true 2>/dev/null; then
        echo "skipped: network namespaces are not permitted here"
        exit 77
    fi
    OSCPROBE_IN_NETNS=1 exec unshare --net "$0" "$@"
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Waits up to $2 seconds for process $1 to end; prints its exit status, or
# "exit=hung" (and kills it) when it did not end in time.
reap() {
    pid=$1 limit=$2 waited=0
    while kill -0 "$pid" 2>/dev/null; do
        if [ "$waited" -ge $((limit * 10)) ]; then
            kill -KILL "$pid"
            wait "$pid" 2>/dev/null
            echo "exit=hung"
            return
        fi
        sleep 0.1
        waited=$((waited + 1))
    done
    wait "$pid"
    echo "exit=$?"
}

# An address in 10.0.0.0/8 on one end of a veth pair: a real new-address
# notification, as when a laptop joins the office network.
address_comes_up() {
    ip link add oscp0 type veth peer name oscp1
    ip addr add 10.1.2.3/8 dev oscp0
}

# Lets the tool get through its first evaluation before the address comes.
settle() { sleep 0.5; }

case $scenario in
wait_wakes_on_address)
    # The interval is a minute: only the watcher's wake-up ends it sooner.
    "$oscprobe" wait --subnet 10.0.0.0/8 --interval 60 >"$work/out" 2>&1 &
    pid=$!
    settle
    address_comes_up
    reap "$pid" 20
    cat "$work/out"
    ;;
json_lines_per_evaluation)
    "$oscprobe" wait --subnet 10.0.0.0/8 --interval 60 --json >"$work/out" 2>&1 &
    pid=$!
    settle
    address_comes_up
    reap "$pid" 20
    head -n 1 "$work/out"
    tail -n 1 "$work/out"
    ;;
run_becomes_command)
    # The command reports the sockets it inherited: none may be the
    # watcher's.
    "$oscprobe" run --subnet 10.0.0.0/8 --interval 60 -- \
        sh -c 'echo "sockets=$(ls -l /proc/$$/fd | grep -c socket:)"; exit 7' >"$work/out" 2>&1 &
    pid=$!
    settle
    address_comes_up
    reap "$pid" 20
    cat "$work/out"
    ;;
run_timeout_runs_nothing)
    start=$(date +%s%N)
    "$oscprobe" run --subnet 10.0.0.0/8 --timeout 1 -- touch "$work/ran" >"$work/out" 2>&1 &
    reap $! 20
    echo "elapsed=$((($(date +%s%N) - start) / 100000000))ds"
    [ -e "$work/ran" ] && echo "ran=yes" || echo "ran=no"
    cat "$work/out"
    ;;
run_bad_input_runs_nothing)
    "$oscprobe" run --subnet 10.0.0.0/8 --cpu often -- touch "$work/ran"
    echo "exit=$?"
    [ -e "$work/ran" ] && echo "ran=yes" || echo "ran=no"
    ;;
sigterm_ends_wait)
    "$oscprobe" wait --subnet 10.0.0.0/8 >"$work/out" 2>&1 &
    pid=$!
    settle
    kill -TERM "$pid"
    reap "$pid" 20
    cat "$work/out"
    ;;
sigint_ends_run)
    # A background job of a script starts with SIGINT ignored; a terminal's
    # Ctrl-C reaches a foreground one with the default action.
    env --default-signal=INT "$oscprobe" run --subnet 10.0.0.0/8 -- touch "$work/ran" \
        >"$work/out" 2>&1 &
    pid=$!
    settle
    kill -INT "$pid"
    reap "$pid" 20
    [ -e "$work/ran" ] && echo "ran=yes" || echo "ran=no"
    ;;
live_status_line)
    # script(1) gives the tool a terminal.
    script -qec "$oscprobe wait --subnet 10.0.0.0/8 --timeout 1.5 --interval 1" /dev/null \
        >"$work/out" 2>&1
    echo "exit=$?"
    cat "$work/out"
    ;;
*)
    echo "unknown scenario $scenario"
    exit 2
    ;;
esac
