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
    # More addresses follow at once: the watcher's lines about them must not
    # reach standard error once the wait has said go.
    "$oscprobe" wait --subnet 10.0.0.0/8 --interval 60 >"$work/out" 2>&1 &
    pid=$!
    settle
    address_comes_up
    for i in 1 2 3 4 5 6 7 8; do ip addr add "10.1.3.$i/8" dev oscp0; done
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
hostile_names)
    # Linux takes any bytes but '/' and blanks in a name: neither bytes that
    # are no UTF-8 nor a terminal's escape sequence may break or reach out.
    bad=$(printf '\377\376') esc=$(printf 'e\033[31m')
    ip link add name "$bad" type veth peer name "$esc"
    ip addr add 10.1.2.3/8 dev "$bad"
    ip addr add 10.1.2.4/8 dev "$esc"
    "$oscprobe" ifaces --json >"$work/json" 2>&1
    echo "ifaces-json exit=$? replaced=$(grep -c "$(printf '\357\277\275\357\277\275')" "$work/json")"
    "$oscprobe" ifaces >"$work/text" 2>&1
    echo "ifaces exit=$? raw-escapes=$(grep -c "$(printf '\033')" "$work/text")" \
        "escaped=$(grep -c -e '\\xff\\xfe' -e 'e\\x1b\[31m' "$work/text")"
    "$oscprobe" status --json --probe wired --probe disk --disk-dir "$(printf '/tmp/\377')" \
        >"$work/status" 2>&1
    echo "status-json exit=$? replaced=$(grep -c "$(printf '/tmp/\357\277\275')" "$work/status")"
    ;;
hostile_files)
    # Settings and log files that are no regular files, or too large, are
    # refused at once; output that cannot be written is an error.
    mkfifo "$work/fifo"
    head -c 1048577 /dev/zero | tr '\0' '#' >"$work/large.ini"
    for settings in "$work/fifo" /dev/zero "$work/large.ini"; do
        timeout 10 "$oscprobe" check --hubmaster --settings "$settings" 2>&1 | sed "s|$work/||"
    done
    OSCPROBE_SETTINGS=$work/fifo timeout 10 "$oscprobe" check --hubmaster 2>&1 | sed "s|$work/||"
    timeout 10 "$oscprobe" --log "$work/fifo" check --ac 2>&1 | sed "s|$work/||"
    "$oscprobe" check --ac --json >/dev/full
    echo "exit=$?"
    "$oscprobe" wait --json --disk-below 0 --dir / --timeout 0 >/dev/full
    echo "exit=$?"
    ;;
closed_descriptors)
    # With 0, 1 and 2 closed the watcher's socket must not become standard
    # output; the command `run` starts finds /dev/null there instead.
    "$oscprobe" run --subnet 10.0.0.0/8 --interval 60 --json -- \
        sh -c "echo \$(readlink /proc/\$\$/fd/0 /proc/\$\$/fd/1 /proc/\$\$/fd/2) >'$work/fds'" \
        <&- >&- 2>&- &
    pid=$!
    settle
    address_comes_up
    reap "$pid" 20
    cat "$work/fds"
    ;;
no_threads)
    # Under an address-space limit no thread can be made: the tool says so
    # in a line and polls instead of aborting. The limit that allows no
    # thread at all, and the one that allows one, differ between builds.
    for kib in 8000 12000 16000 20000 24000 28000; do
        (ulimit -v $kib && exec "$oscprobe" wait --subnet 10.0.0.0/8 --timeout 0.3 --interval 0.1) \
            >>"$work/out" 2>&1
        echo "exit=$?" >>"$work/out"
    done
    echo "aborted=$(grep -c -e '^exit=13[0-9]' -e 'terminate' "$work/out")"
    echo "polled=$(grep -c "can't watch for address changes" "$work/out")"
    echo "no-signal-thread=$(grep -c "can't start the signal thread" "$work/out")"
    ;;
sigterm_in_first_sleep)
    # The CPU probe sleeps two seconds at its first call; a signal ends the
    # wait within a second all the same. (ThreadSanitizer would otherwise
    # sleep a second of its own at exit.)
    TSAN_OPTIONS="${TSAN_OPTIONS:-} atexit_sleep_ms=0" "$oscprobe" wait --cpu 100 >"$work/out" 2>&1 &
    pid=$!
    sleep 0.3
    start=$(date +%s%N)
    kill -TERM "$pid"
    reap "$pid" 20
    echo "within-a-second=$([ $(($(date +%s%N) - start)) -lt 1500000000 ] && echo yes || echo no)"
    ;;
*)
    echo "unknown scenario $scenario"
    exit 2
    ;;
esac
