#!/bin/bash
# End-to-end scenarios of the oscprobe tool as an operator uses it. Each runs
# the tool many times and matches all it said (standard error merged) and its
# exit status against an ERE over the whole text, in which \n stands for a
# line break. Thresholds are chosen so that answers do not depend on the
# machine's load or disk. Scenarios that add interfaces, mount or send
# signals run in private network and mount namespaces (only lo, down), and
# are skipped where those are not permitted.
#   scenarios.sh OSCPROBE SCENARIO SOURCE_DIR SOCKETS_HELPER MIDWAY_SHIM
set -u
oscprobe=$(readlink -f "$1") scenario=$2 src=$3 sockets=$(readlink -f "$4") midway=$(readlink -f "$5") failed=0
if [ -z "${OSCPROBE_ISOLATED:-}" ] && [[ $scenario =~ ^(wait|run|power|hold|network|hostile|no_threads)$ ]]; then
    unshare --net --mount true 2>/dev/null || { echo "skipped: namespaces are not permitted here"; exit 77; }
    OSCPROBE_ISOLATED=1 exec unshare --net --mount "$0" "$@"
fi
work=$(mktemp -d)
# Only this shell cleans up: a child it forked for a background command and
# signalled before that command began runs the trap too, with $$ and
# $BASHPID still this shell's; /proc/self tells them apart.
trap 'read -r self _ </proc/self/stat; [ "$self" = $$ ] && { cd /; umount -qR "$work" 2>/dev/null; rm -rf "$work"; }' EXIT
printf '[Runtime]\nnHMONLINE=1\n' >"$work/online.ini"
printf '[Runtime]\nnHMONLINE=0\n' >"$work/offline.ini"
o() { "$oscprobe" "$@"; }
# match REGEX TEXT WHAT: the scenario fails unless REGEX matches all of TEXT.
match() {
    local re=${1//\\n/$'\n'}
    [[ $2 =~ ^($re)$ ]] || { printf 'FAILED: %s\n--- got:\n%s\n--- wanted:\n%s\n' "$3" "$2" "$re"; failed=1; }
}
# expect REGEX COMMAND...: COMMAND's output followed by "exit=STATUS".
expect() { local re=$1; shift; match "$re" "$("$@" 2>&1; echo "exit=$?")" "$*"; }
# start COMMAND...: in the background, output to $work/out, given time for a
# first evaluation. ended REGEX: as expect, once it ended (killed after 20 s).
start() { ip link del oscp0 2>/dev/null; started="$*"; "$@" >"$work/out" 2>&1 & pid=$!; sleep 0.5; }
# said REGEX [FILE]: waits (at most 10 s) until FILE, else the output, has a line matching REGEX.
said() { local n=0; until grep -q -- "$1" "${2:-$work/out}" 2>/dev/null || [ $n -ge 100 ]; do sleep 0.1; n=$((n + 1)); done; }
ended() {
    local n=0
    while kill -0 "$pid" 2>/dev/null && [ $n -lt 200 ]; do sleep 0.1; n=$((n + 1)); done
    kill -KILL "$pid" 2>/dev/null && echo "hung" >>"$work/out"
    wait "$pid" 2>/dev/null; echo "exit=$?" >>"$work/out"
    match "$1" "$(cat "$work/out")" "$started"
}
# A real new-address notification, as when a laptop joins the office network.
address_comes_up() { ip link add oscp0 type veth peer name oscp1 && ip addr add 10.1.2.3/8 dev oscp0; }
ran() { [ -e "$work/ran" ] && echo "ran=yes" || echo "ran=no"; }
# A laptop: charger out, battery discharging at 30 %. Power changes come
# as the kernel's uevents (sent here by the test), so no interval passes.
laptop() {
    mount -t tmpfs tmpfs /sys/class/power_supply && cd /sys/class/power_supply && mkdir AC BAT0
    echo Mains >AC/type && echo Battery >BAT0/type && echo Discharging >BAT0/status && echo 30 >BAT0/capacity
}
plug() { echo "$1" >/sys/class/power_supply/AC/online && "$sockets" uevent "change@/devices/AC;SUBSYSTEM=power_supply"; }
# A job that ticks into "$0" every 50 ms, 40 times, then exits 5.
tick='for i in $(seq 40); do echo >>"$0"; sleep 0.05; done; exit 5'
# still FILE: no tick for half a second.
still() { local before; before=$(wc -l <"$1") && sleep 0.5 && match "$before" "$(wc -l <"$1")" "no tick while held"; }
all_go="--cpu-threshold 100 --disk-dir / --disk-threshold 100"

case $scenario in
status)
    expect "cpu +go +usage [0-9]+% over the last half minute \(go up to 100%\)\nac +(go|no-go) [^\n]*\nbattery +(go|no-go) [^\n]*\nhubmaster +go +nHMONLINE=1 in $work/online.ini\ndisk +go +/ [0-9.]+% free \(go below 100\.0%\)\nwired +(go|no-go) [^\n]*\nwireless +(go|no-go) [^\n]*\nunmetered +(go|no-go) [^\n]*\ninterfaces +[^\n]*lo \(UNKNOWN\)[^\n]*\nexit=[01]" o status $all_go --settings "$work/online.ini"
    expect "disk +no-go +/ [0-9.]+% free, /tmp [0-9.]+% free \(go below 0\.0%\)  \[0x03000017 no directory has less free space than the threshold\]\nexit=1" o status --probe disk --disk-dir / --disk-dir /tmp --disk-threshold 0
    expect "subnet +go +lo has an address in 127\.0\.0\.0/8: 127\.0\.0\.1\ninterfaces +[^\n]*\nexit=0" o status --probe subnet --subnet 127.0.0.0/8
    expect '\{\n  "conditions": \[\n    \{\n      "condition": "cpu",\n      "answer": "go",\n      "code": null,\n      "reason": null,\n      "figure": [0-9]+,\n      "figures": \{\n        "usage_percent": [0-9]+,\n        "threshold_percent": 100\n      \},\n      "message": "CPU usage [0-9]+% is at or below 100%"\n    \},\n    \{\n      "condition": "hubmaster",\n      "answer": "no-go",\n      "code": "0x03000016",\n      "reason": "Hubmaster unreachable",\n      "figure": 0,\n      "figures": \{\n        "settings_file": "'"$work"'/offline.ini",\n        "nHMONLINE": "0"\n      \},\n      "message": "Hubmaster recorded unreachable \(nHMONLINE=0 in '"$work"'/offline\.ini\)"\n    \}\n  \],\n  "exit_status": 1\n\}\nexit=1' o status --probe cpu --probe hubmaster --cpu-threshold 100 --settings "$work/offline.ini" --json
    expect "(.*\n)?lo +UNKNOWN +127\.0\.0\.1[^\n]*\n.*configuration checksum 0x[0-9A-F]{8}\nexit=0" o ifaces
    expect '.*"name": "lo",\n *"kind": "UNKNOWN",\n *"addresses": \[[^]]*"127\.0\.0\.1".*"config_crc32": "0x[0-9A-F]{8}"\n\}\nexit=0' o ifaces --json
    ;;
check)
    expect "cpu +go +CPU usage [0-9]+% is at or below 100%\nhubmaster +go +Hubmaster recorded reachable \(nHMONLINE=1 in $work/online\.ini\)\ndisk +go +/ has [0-9.]+% free, below 100%\nsubnet +go +[^ ]+ has an address in 203\.0\.113\.0/24 or 127\.0\.0\.0/8: [0-9.]+\nexit=0" o check --cpu 100 --hubmaster --settings "$work/online.ini" --disk-below 100 --dir / --subnet 203.0.113.0/24 --subnet 127.0.0.0/8
    expect "hubmaster +no-go +Hubmaster recorded unreachable \(nHMONLINE=0 in $work/offline\.ini\)  \[0x03000016\]\ndisk +no-go +free space is not below 0% \(/ [0-9.]+%, /tmp [0-9.]+%\)  \[0x03000017\]\nexit=1" o check --hubmaster --settings "$work/offline.ini" --disk-below 0 --dir / --dir /tmp
    expect "disk +error +OscProbeDiskSpace::getFreeSpacePercent: Failed to stat /nonexistent/oscprobe: No such file or directory\nexit=3" o check --disk-below 50 --dir /nonexistent/oscprobe
    expect "hubmaster +no-go +no settings file /nonexistent/oscprobe/settings\.ini, so the Hubmaster counts as unreachable  \[0x03000016\]\nexit=1" env OSCPROBE_SETTINGS=/nonexistent/oscprobe/settings.ini "$oscprobe" check --hubmaster
    expect '\{"time":"[0-9-]+T[0-9:.]+Z","elapsed":[0-9.e-]+,"all_go":false,"conditions":\[\{"condition":"hubmaster","answer":"no-go","code":"0x03000016","reason":"Hubmaster unreachable","figure":0,"figures":\{[^}]*\},"message":"Hubmaster recorded unreachable [^"]*"\},\{"condition":"disk","answer":"go","code":null,"reason":null,"figure":[0-9.]+,"figures":\{[^}]*\}[^}]*\},"message":"/ has [0-9.]+% free, below 100%"\}\]\}\nexit=1' o check --json --hubmaster --settings "$work/offline.ini" --disk-below 100 --dir /
    # status, check and wait describe an answer with the same keys.
    keys() { o "$@" | grep -o '"[a-z_]*":' | tr -d '\n' | grep -o '"condition":.*"message":'; }
    k='"condition":"answer":"code":"reason":"figure":"figures":"message":'
    match "$k $k $k" "$(keys status --json --probe ac) $(keys check --json --ac) $(keys wait --json --ac --timeout 0)" "the keys of an answer"
    # The library's level-2 lines reach a log file only with -v.
    expect "cpu +go [^\n]*\nexit=0" o --log "$work/v.log" -v check --cpu 100
    expect "[0-9-]+ [0-9:.]+ INFO OscProbeCPU: [^\n]*\n.*[0-9-]+ [0-9:.]+ DEBUG OscProbeCPU::probe: CPU: busy=.*\nexit=0" cat "$work/v.log"
    expect "cpu +go [^\n]*\nexit=0" env OSCPROBE_DEBUG_LEVEL=2 "$oscprobe" --log "$work/quiet.log" check --cpu 100
    expect "([^\n]* INFO [^\n]*\n)+exit=0" cat "$work/quiet.log"
    # Under systemd's ExecCondition= only 255 fails the unit; 1 to 254 skip it.
    expect "disk +error [^\n]*\nexit=255" o check --exec-condition --disk-below 50 --dir /nonexistent/oscprobe
    expect "disk +error [^\n]*\nexit=255" o check --exec-condition=1 --disk-below 50 --dir /nonexistent/oscprobe
    expect "[^\n]*abc[^\n]*\nexit=255" o check --exec-condition=true --cpu abc
    expect "[^\n]*abc[^\n]*\nexit=2" o check --exec-condition=false --cpu abc
    # With --json standard output holds JSON lines alone.
    expect '\{"time"[^\n]*\}\nexit=1' sh -c '"$0" wait --json --disk-below 0 --dir / --timeout 0 2>/dev/null' "$oscprobe"
    expect "disk +no-go [^\n]*\nexit=1" o check --exec-condition --disk-below 0 --dir /
    expect "disk +go [^\n]*\nall conditions go after [0-9.]+ s\nexit=0" o wait --timeout infinity --disk-below 100 --dir /
    ;;
bad_input)
    # Exit status | message after "oscprobe" | command line. Bad input is
    # one line on standard error, and nothing is evaluated or run.
    while IFS='|' read -r status message line; do
        [ "$status" -eq 2 ] || [ "$status" -eq 255 ] && message+=" \(see oscprobe[a-z ]* --help\)"
        set -f; expect "oscprobe$message\nexit=$status" o $line; set +f
    done <<'EOF'
2|: A subcommand is required|
2|: can't open log file /nonexistent/oscprobe\.log: No such file or directory|--log /nonexistent/oscprobe.log check --ac
2| status: --probe: gpu not in .*|status --probe gpu
2| status: Invalid subnet definition 10\.0\.0\.1: lacks the "/bits" part|status --subnet 10.0.0.1
2| status: --disk-threshold: 'nan' is not a percentage from 0 to 100|status --disk-threshold nan
2| status: --probe subnet needs --subnet|status --probe subnet
2| check: The following argument was not expected: --gpu|check --gpu
2| check: --cpu: 'eighty' is not a whole percentage from 0 to 100|check --cpu eighty
2| check: --disk-below: '150' is not a percentage from 0 to 100|check --disk-below 150 --dir /
2| check: --disk-below needs at least one --dir|check --disk-below 10
2| check: --dir needs --disk-below|check --cpu 50 --dir /
2| check: Invalid subnet length 33 passed in address 10\.0\.0\.0/33|check --subnet 10.0.0.0/33
2| check: can't read settings file /nonexistent/oscprobe\.ini: No such file or directory|check --hubmaster --settings /nonexistent/oscprobe.ini
2| check: can't read settings file /: Is a directory|check --hubmaster --settings /
2| check: no condition given|check
2| check: --iface: token not in \{wired,wireless\}|check --iface token
2| check: --network: 'aa:bb' is neither a MAC address \(aa:bb:cc:dd:ee:ff\) nor ssid:NAME|check --network aa:bb
2| check: --reachable: 'nas' is not HOST:PORT or \[IPv6\]:PORT: no port|check --reachable nas
2| check: --connect-timeout: '0' is not a number of seconds from 0\.1 to 60|check --reachable nas:22 --connect-timeout 0
2| check: --unmetered: 'yes' is not strict \(give --unmetered alone, or --unmetered=strict\)|check --unmetered=yes
2| check: only run takes a command after --|check --ac -- true
2| wait: --interval: '0\.05' is not a number of seconds from 0\.1 to 1e9|wait --ac --interval 0.05
2| wait: --timeout: '-5' is not a number of seconds from 0 to 1e9, or infinity|wait --ac --timeout -5
2| run: --hold-limit: '-1' is not a number of seconds from 0 to 1e9, or infinity|run --hold --hold-limit -1 --ac -- true
2| run: --hold-limit needs --hold|run --hold-limit infinity --ac -- true
2| run: no command given \(put it after --\)|run --ac
2| run: give the command once, after --|run --ac true -- true
255| check: --cpu: 'eighty' is not a whole percentage from 0 to 100|check --exec-condition --cpu eighty
127| run: can't run /nonexistent/backup: No such file or directory|run --timeout 60 --ac -- /nonexistent/backup
126| run: can't run /: Permission denied|run --timeout 60 --ac -- /
EOF
    ;;
wait)
    # The interval is a minute: only the watcher's wake-up ends it sooner.
    # The watcher's lines about the addresses that follow must not reach
    # standard error once the wait has said go.
    start "$oscprobe" wait --subnet 10.0.0.0/8 --interval 60
    address_comes_up
    for i in 1 2 3 4 5 6 7 8; do ip addr add "10.1.3.$i/8" dev oscp0; done
    ended "subnet +go +oscp0 has an address in 10\.0\.0\.0/8: 10\.1\.2\.3 \(link down\)\nall conditions go after [0-9.]+ s\nexit=0"
    start "$oscprobe" wait --subnet 10.0.0.0/8 --interval 60 --json
    said '"all_go":false' && address_comes_up
    ended '\{[^\n]*"all_go":false,[^\n]*"no address in 10\.0\.0\.0/8"\}\]\}\n(\{[^\n]*\n)*\{[^\n]*"all_go":true,[^\n]*"oscp0 has an address in 10\.0\.0\.0/8: 10\.1\.2\.3 \(link down\)"\}\]\}\nexit=0'
    start "$oscprobe" wait --subnet 10.0.0.0/8
    kill -TERM "$pid"
    ended "exit=143"
    # The CPU probe sleeps two seconds at its first call; a signal ends the
    # wait within a second all the same. (ThreadSanitizer would otherwise
    # sleep a second of its own at exit.)
    start env TSAN_OPTIONS="${TSAN_OPTIONS:-} atexit_sleep_ms=0" "$oscprobe" wait --cpu 100
    began=$(date +%s%N)
    kill -TERM "$pid"
    ended "exit=143"
    match "yes" "$([ $(($(date +%s%N) - began)) -lt 1500000000 ] && echo yes)" "SIGTERM in the first sleep ends the wait within a second"
    # script(1) gives the tool a terminal for its live status line.
    cr=$'\r' esc=$'\e'
    expect "$cr$esc\[Kwaiting 0:00  checking the conditions$cr$esc\[Kwaiting 0:0[01]  held back by: subnet \(no address in 10\.0\.0\.0/8\)($cr$esc\[Kwaiting 0:0[01]  held back by: [^$cr]*)*$cr$esc\[Ksubnet +no-go.*\nexit=1" script -qec "$oscprobe wait --subnet 10.0.0.0/8 --timeout 1.5 --interval 1" /dev/null
    ;;
run)
    # The command finds SIGINT and SIGTERM unblocked and none of the
    # watcher's sockets; its status becomes the tool's.
    start "$oscprobe" run --subnet 10.0.0.0/8 --interval 60 -- sh -c 'm=$(sed -n "s/^SigBlk:\t*//p" /proc/$$/status); echo "sockets=$(ls -l /proc/$$/fd | grep -c socket:) blocked=$((0x${m#????????????} & 0x4002))"; exit 7'
    address_comes_up
    ended "sockets=0 blocked=0\nexit=7"
    # With 0, 1 and 2 closed the watcher's socket must not become standard
    # output; the command finds /dev/null there instead.
    ip link del oscp0
    "$oscprobe" run --subnet 10.0.0.0/8 --interval 60 --json -- sh -c "echo \$(readlink /proc/\$\$/fd/0 /proc/\$\$/fd/1 /proc/\$\$/fd/2) >'$work/out'" <&- >&- 2>&- &
    pid=$! started="run with 0, 1 and 2 closed" && sleep 0.5 && address_comes_up
    ended "/dev/null /dev/null /dev/null\nexit=0"
    ip link del oscp0
    began=$(date +%s%N)
    expect "subnet +no-go +no address in 10\.0\.0\.0/8  \[0x03000018\]\ntimed out after 1\.[0-9] s; not running the command\nexit=1" env TSAN_OPTIONS="${TSAN_OPTIONS:-} atexit_sleep_ms=0" timeout 20 "$oscprobe" run --subnet 10.0.0.0/8 --timeout 1 --interval 60 -- touch "$work/ran"
    match "1[0-9]ds" "$((($(date +%s%N) - began) / 100000000))ds" "run --timeout 1 within its interval"
    # A background job starts with SIGINT ignored; Ctrl-C reaches a
    # foreground one with the default action.
    start env --default-signal=INT "$oscprobe" run --subnet 10.0.0.0/8 -- touch "$work/ran"
    kill -INT "$pid"
    ended "exit=130"
    expect "ran=no\nexit=0" ran
    ;;
power)
    laptop && plug 0
    expect "ac +no-go +on battery power: battery BAT0 is discharging  \[0x03000014\]\nbattery +no-go +battery holds 30 %, below 50%  \[0x03000029\]\nexit=1" o check --ac --battery 50
    expect "battery +go +battery holds 30 %, at least 30%\nexit=0" o check --battery 30
    # Words agree with the answer (49.96 is not 50), and a charging battery
    # is outside power for both conditions alike.
    echo 4996 >BAT0/energy_now && echo 10000 >BAT0/energy_full
    expect "battery +no-go +battery holds 49\.9 %, below 50%  \[0x03000029\]\nexit=1" o check --battery 50
    echo Charging >BAT0/status
    expect "ac +go +on AC power: battery BAT0 is charging\nbattery +go +on AC power: battery BAT0 is charging\nexit=0" o check --ac --battery 50
    echo Discharging >BAT0/status && rm BAT0/energy_now BAT0/energy_full
    # Attributes that are no files tell nothing, and never hold the probe.
    rm AC/online BAT0/status && mkfifo AC/online && ln -s /dev/zero BAT0/status
    expect "ac +go +nothing tells AC from battery [^\n]*\nexit=0" timeout 10 "$oscprobe" check --ac
    rm AC/online BAT0/status && echo 0 >AC/online && echo Discharging >BAT0/status
    "$sockets" listen "$work/notify" >"$work/notices" & listener=$!
    # A change that lands while the tool evaluates is acted on at once: the
    # shim makes the k-th flip as the k-th read of the supplies ends (two
    # reads an evaluation here), once a plug that changes nothing woke it.
    preload=(env LD_PRELOAD="$midway" NOTIFY_SOCKET="$work/notify" ASAN_OPTIONS="${ASAN_OPTIONS:-}:verify_asan_link_order=0")
    start "${preload[@]}" OSCPROBE_TEST_FLIPS="- - - 1" "$oscprobe" wait --ac --battery 50 --interval 600
    said "STATUS=waiting" "$work/notices" && plug 0
    ended "ac +go +on AC power: power supply AC is online\nbattery +go +on AC power: power supply AC is online\nall conditions go after [0-3]\.[0-9] s\nexit=0"
    # The job ticks every 50 ms; it is held while on battery (unplugged
    # mid-evaluation), and ends with its own status.
    start "${preload[@]}" OSCPROBE_TEST_FLIPS="- 0" "$oscprobe" run --hold --battery 50 --interval 600 -- sh -c "$tick" "$work/ticks"
    said running && sleep 0.2 && plug 1 && said held && still "$work/ticks"
    plug 1
    ended "oscprobe run: running\noscprobe run: held: battery \(battery holds 30 %, below 50%\)\noscprobe run: resumed\nexit=5"
    match "40" "$(wc -l <"$work/ticks")" "every tick once resumed"
    kill "$listener"
    match "STATUS=waiting: held back by ac \(on battery power: battery BAT0 is discharging\), battery \(battery holds 30 %, below 50%\)\nSTATUS=running\nSTATUS=held: battery \(battery holds 30 %, below 50%\)\nSTATUS=resumed" "$(cat "$work/notices")" "what the service manager was told"
    # A job held past its limit is ended; signals reach the job, stopped or not.
    start "$oscprobe" run --hold --hold-limit 0.5 --ac -- sh -c 'trap "echo TERM; exit 9" TERM; while :; do sleep 0.05; done'
    said running && plug 0
    ended "oscprobe run: running\noscprobe run: held: ac [^\n]*\noscprobe run: held for longer than 0\.5 s; ending the job with SIGTERM\n(Terminated\n)?TERM\nexit=9"
    plug 1 && start "$oscprobe" run --hold --ac -- sleep 60
    said running && plug 0 && said held && kill -HUP "$pid"
    ended "oscprobe run: running\noscprobe run: held: ac [^\n]*\nexit=129"
    ;;
hold)
    # Many short runs: ThreadSanitizer's second at each exit would add up.
    export TSAN_OPTIONS="${TSAN_OPTIONS:-} atexit_sleep_ms=0"
    laptop && plug 1
    # A signal at any moment around the job's start: the job never starts,
    # or it gets the signal; it is never left running. Once landed surely
    # between the last evaluation and the start (the shim), then at offsets
    # that span twice the time a job takes to start here.
    preload=(env LD_PRELOAD="$midway" ASAN_OPTIONS="${ASAN_OPTIONS:-}:verify_asan_link_order=0")
    "${preload[@]}" OSCPROBE_TEST_TERM_BEFORE_JOB=1 "$oscprobe" run --hold --ac -- sleep "699.$$" >/dev/null 2>&1; echo "$?" >>"$work/statuses"
    began=$(date +%s%N); o run --hold --ac -- true; step=$((($(date +%s%N) - began) / 50000))
    for i in $(seq 60); do
        "$oscprobe" run --hold --ac -- sleep "7$i.$$" >/dev/null 2>&1 & pid=$!
        sleep "$(printf '0.%06d' $((i * step)))" && kill -TERM "$pid"
        wait "$pid"; echo "$?" >>"$work/statuses"
    done
    match "143 0" "$(sort -u "$work/statuses") $(pgrep -fc "^sleep (699|7[0-9]+)\\.$$\$")" "statuses and jobs left after a signal around the start"
    # Signals ignored when the tool began stay ignored, by the job too.
    start nohup "$oscprobe" run --hold --ac -- sh -c 'sleep 1; i=$(sed -n "s/^SigIgn:\t*//p" /proc/$$/status); echo "hup ignored: $((0x${i#????????} & 1))"; exit 6'
    kill -HUP "$pid"
    ended "oscprobe run: running\nhup ignored: 1\nexit=6"
    plug 0 && start env --ignore-signal=INT "$oscprobe" wait --ac --timeout 1.5
    kill -INT "$pid"
    ended "ac +no-go [^\n]*\ntimed out after 1\.[0-9] s\nexit=1"
    # A reload signal that the job survives while held: it acts on it and
    # is held again.
    plug 1 && start "$oscprobe" run --hold --ac --json -- sh -c "exec 2>/dev/null; trap 'echo reload >>\"\$0\"' HUP; $tick" "$work/ticks"
    said '"job":"running"' && sleep 0.2 && plug 0 && said '"job":"held' && kill -HUP "$pid" && sleep 0.3 && still "$work/ticks"
    plug 1
    ended '\{[^\n]*"all_go":true,"conditions"[^\n]*\n(\{[^\n]*"job":"running"[^\n]*\n)+(\{[^\n]*"job":"held: ac [^\n]*\n)+(\{[^\n]*"job":"resumed"[^\n]*\n)+exit=5'
    match "40 reload" "$(grep -c '^$' "$work/ticks") $(grep reload "$work/ticks")" "ticks and the reload"
    # What the leader leaves behind is held on battery and waited for.
    start "$oscprobe" run --hold --ac -- sh -c "($tick) & exit 3" "$work/ticks2"
    said running && sleep 0.3 && plug 0 && said held && still "$work/ticks2"
    plug 1
    ended "oscprobe run: running\noscprobe run: held: ac [^\n]*\noscprobe run: resumed\nexit=3"
    match "40" "$(wc -l <"$work/ticks2")" "every tick of the child"
    # A held leader killed from outside: what is left is ended, not resumed.
    start "$oscprobe" run --hold --ac -- sh -c 'sleep 67 & wait'
    said running && plug 0 && said held && kill -KILL "$(pgrep -P "$pid")"
    ended "oscprobe run: running\noscprobe run: held: ac [^\n]*\noscprobe run: the job's leader was ended by SIGKILL; ending what is left of the job with SIGTERM\nexit=137"
    match "0" "$(pgrep -fc '^sleep 67$')" "processes of the job left"
    # A reader that went away costs the tool its output, never the job,
    # which has SIGPIPE's default action.
    plug 1 && o run --hold --json --ac --interval 0.1 -- sh -c 'sleep 0.5; i=$(sed -n "s/^SigIgn:\t*//p" /proc/$$/status); echo "pipe ignored: $((0x${i#????????} >> 12 & 1))" >&2; exit 4' 2>"$work/out" | head -c 1 >/dev/null
    echo "exit=${PIPESTATUS[0]}" >>"$work/out"
    match "oscprobe run: can't write standard output: Broken pipe; the job goes on\npipe ignored: 0\nexit=4" "$(cat "$work/out")" "run --hold --json | head"
    # A service manager that never reads its socket never stops the tool.
    "$sockets" deaf "$work/deaf" & deaf=$!
    start env NOTIFY_SOCKET="$work/deaf" "$oscprobe" run --hold --ac -- sh -c 'for i in $(seq 30); do sleep 0.1; done; exit 8'
    for i in $(seq 12); do plug 0 && sleep 0.05 && plug 1 && sleep 0.05; done
    ended "oscprobe run: running\n(oscprobe run: (held: ac [^\n]*|resumed)\n)*exit=8"
    kill "$deaf"
    # On a terminal, under an interactive shell: the running job has the
    # foreground from its first instruction (it reads a line at once, before
    # the tool could give it the terminal; no status line is drawn over its
    # progress), and Ctrl-Z stops the tool with its job until fg.
    /usr/bin/python3 - "0.5:${preload[*]} OSCPROBE_TEST_SLOW_SPAWN=1 $oscprobe run --hold --ac -- sh -c 'read line; echo \"got \$line\"; printf \"50%%\"; sleep 1.5; echo \" done\"'\n" \
        "1:hello\n" "3:$oscprobe run --hold --ac -- sh -c 'sleep 1; echo \$((40 + 2)); sleep 0.2; echo \$((40 + 3))'\n" \
        "0.5:\x1a" "1.5:fg\n" "2:echo status=\$?; exit\n" >"$work/out" 2>&1 <<'EOF'
import os, pty, select, sys, time
pid, fd = pty.fork()
if pid == 0:
    os.execve("/bin/bash", ["bash", "--norc", "--noprofile", "-i"], dict(os.environ, PS1="$ ", TERM="dumb"))
out = b""
def pump(seconds):
    global out
    end = time.time() + seconds
    while end > time.time() and select.select([fd], [], [], end - time.time())[0]:
        try:
            data = os.read(fd, 4096)
        except OSError:
            break
        out += data
        if not data:
            break
for step in sys.argv[1:]:
    delay, text = step.split(":", 1)
    pump(float(delay))
    os.write(fd, text.encode().decode("unicode_escape").encode())
pump(20)
os.waitpid(pid, 0)
print(out.decode(errors="replace").replace("\r\n", "\n").replace("\r", "<CR>"))
EOF
    match ".*\ngot hello\n50% done\n.*Stopped.*fg\n[^\n]*\n42\n43\n.*status=0\n.*" "$(cat "$work/out")" "jobs on a terminal"
    ;;
network)
    # A laptop joins its home network: the default gateway's hardware
    # address is learnt a moment later, and that alone wakes the wait.
    ip link add oscn0 type veth peer name oscn1 && ip link set oscn0 up && ip link set oscn1 up
    ip addr add 10.9.0.2/24 dev oscn0 && ip route add default via 10.9.0.1 dev oscn0
    expect "network +no-go +gateway 10\.9\.0\.1 not recognised yet \(the kernel does not know its hardware address\)  \[0x0300002B\]\nexit=1" o check --network 02:00:00:00:00:01
    start "$oscprobe" wait --network 02:00:00:00:00:01 --network ssid:HomeNet --interval 600
    ip neigh replace 10.9.0.1 lladdr 02:00:00:00:00:01 dev oscn0 nud permanent
    ended "network +go +on a known network: gateway 10\.9\.0\.1 is 02:00:00:00:00:01\nall conditions go after [0-9.]+ s\nexit=0"
    expect "network +no-go +gateway 10\.9\.0\.1 is 02:00:00:00:00:01, not a known network  \[0x0300002B\]\nexit=1" o check --network 02-00-00-00-00-0A
    expect "--network 02:00:00:00:00:01\nexit=0" o network
    # Without NetworkManager (no system bus) a connection counts as not
    # metered, unless strict; any target that answers will do.
    export DBUS_SYSTEM_BUS_ADDRESS=unix:path=$work/no-bus
    expect "unmetered +go +no NetworkManager on the system bus; counted as not metered\nexit=0" o check --unmetered
    expect "unmetered +no-go +[^\n]*counted as metered \(strict\)  \[0x0300002A\]\nexit=1" o check --unmetered=strict
    ip link set lo up
    /usr/bin/python3 -c 'import socket, time; s = socket.socket(); s.bind(("127.0.0.1", 8022)); s.listen(); time.sleep(30)' & listener=$! && sleep 0.3
    expect "reachable +go +localhost:8022 answered \(127\.0\.0\.1\)\nexit=0" o check --reachable 127.0.0.1:1 --reachable localhost:8022
    expect "reachable +no-go +no target answered within 0\.5 s: 127\.0\.0\.1:1 \(connection refused\)  \[0x0300002C\]\nexit=1" o check --reachable 127.0.0.1:1 --connect-timeout 0.5
    kill "$listener"
    ;;
hostile)
    # A failed probe decides the status even when a later one says no-go.
    expect "disk +error +[^\n]*No such file or directory\nwired +no-go +none  \[0x03000027 no wired interface\]\ninterfaces +[^\n]*\nexit=3" o status --probe disk --probe wired --disk-dir /nonexistent/oscprobe
    # Linux takes any bytes but '/' and blanks in a name: neither bytes that
    # are no UTF-8 nor a terminal's escape sequence may break or reach out.
    bad=$(printf '\377\376') esc=$(printf 'e\033[31m')
    ip link add name "$bad" type veth peer name "$esc"
    ip addr add 10.1.2.3/8 dev "$bad" && ip addr add 10.1.2.4/8 dev "$esc"
    o ifaces --json >"$work/json" 2>&1; json=$?
    o ifaces >"$work/text" 2>&1; text=$?
    o status --json --probe wired --probe disk --disk-dir "$(printf '/tmp/\377')" >"$work/status" 2>&1; st=$?
    match "0 1 0 0 2 3 1" "$json $(grep -c "$(printf '\357\277\275\357\277\275')" "$work/json") $text $(grep -c "$(printf '\033')" "$work/text") $(grep -c -e '\\xff\\xfe' -e 'e\\x1b\[31m' "$work/text") $st $(grep -c "$(printf '/tmp/\357\277\275')" "$work/status")" "ifaces --json exit, names replaced; ifaces exit, raw escapes, escaped names; status exit, path replaced"
    # The first directory strictly below the threshold is named, not one at it.
    mount -t tmpfs tmpfs "$work" && cd "$work" && mkdir at below
    mount -t tmpfs -o size=400k tmpfs "$work/at" && head -c 204800 /dev/zero >"$work/at/f"
    mount -t tmpfs -o size=400k tmpfs "$work/below" && head -c 307200 /dev/zero >"$work/below/f"
    expect "disk +go +$work/below has 25% free, below 50%\nexit=0" o check --disk-below 50 --dir "$work/at" --dir "$work/below"
    # Settings and log files that are no regular files, or too large, are
    # refused at once; output that cannot be written is an error.
    mkfifo "$work/fifo" && head -c 1048577 /dev/zero | tr '\0' '#' >"$work/large.ini"
    for refused in "fifo: not a regular file" "/dev/zero: not a regular file" "large.ini: larger than 1 MiB"; do
        expect "oscprobe check: can't read settings file $refused \(see oscprobe check --help\)\nexit=2" timeout 10 "$oscprobe" check --hubmaster --settings "${refused%%:*}"
    done
    expect "hubmaster +no-go +can't read settings file fifo: not a regular file, so the Hubmaster counts as unreachable  \[0x03000016\]\nexit=1" env OSCPROBE_SETTINGS=fifo timeout 10 "$oscprobe" check --hubmaster
    expect "oscprobe: can't open log file fifo: No such device or address \(see oscprobe --help\)\nexit=2" timeout 10 "$oscprobe" --log fifo check --ac
    expect "oscprobe: can't write standard output: No space left on device\nexit=3" sh -c '"$0" check --ac --json >/dev/full' "$oscprobe"
    expect "oscprobe wait: can't write standard output: No space left on device\nexit=3" sh -c '"$0" wait --json --disk-below 0 --dir / --timeout 0 >/dev/full' "$oscprobe"
    ;;
no_threads)
    # Under an address-space limit no thread can be made: the tool says so
    # in a line and polls instead of aborting. The limit that allows no
    # thread at all, and the one that allows one, differ between builds.
    for kib in 8000 12000 16000 20000 24000 28000; do
        (ulimit -v $kib && exec "$oscprobe" wait --subnet 10.0.0.0/8 --timeout 0.3 --interval 0.1) >>"$work/out" 2>&1
        echo "exit=$?" >>"$work/out"
    done
    match "0 [1-9][0-9]* [1-9][0-9]*" "$(grep -c -e '^exit=13[0-9]' -e 'terminate' "$work/out") $(grep -c "can't watch for address changes" "$work/out") $(grep -c "can't start the signal thread" "$work/out")" "aborted, polled, ran without a signal thread"
    ;;
completion)
    # shellcheck source=/dev/null
    source "$src/cli/completions/oscprobe.bash" || exit 1
    offered() {
        COMP_WORDS=(oscprobe "$@") COMP_CWORD=$# COMP_LINE="oscprobe $*" COMPREPLY=() && COMP_POINT=${#COMP_LINE}
        _oscprobe oscprobe "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}" && echo "${COMPREPLY[*]}"
    }
    expect "check\nexit=0" offered ch
    expect "--disk-below --dir\nexit=0" offered check --di
    expect "infinity\nexit=0" offered run --timeout ''
    expect "--hold --hold-limit\nexit=0" offered run --ho
    expect "\nexit=0" offered run --cpu 50 -- --di
    ! command -v zsh >/dev/null || expect "exit=0" zsh -n "$src/cli/completions/_oscprobe"
    ;;
table)
    # Each long option some --help shows is in the manual page and both
    # completions; each row of the condition table (status --probe's values)
    # is among the --probe values of each.
    man=$(sed 's/\\-/-/g' "$src/cli/oscprobe.1") bash=$(<"$src/cli/completions/oscprobe.bash") zsh=$(<"$src/cli/completions/_oscprobe")
    for option in $(for c in "" status check wait run ifaces; do o $c --help; done | grep -o -- '--[a-z][a-z-]*' | sort -u); do
        for doc in man bash zsh; do
            grep -qe "$option\([^a-z-]\|$\)" <<<"${!doc}" || match "" "$option" "an option the $doc lacks"
        done
    done
    rows=$(o status --help | grep -o -- '--probe NAME:{[^}]*' | cut -d'{' -f2 | tr , ' ')
    for list in "$(sed -n '/probe " NAME/,/repeat/p' <<<"$man")" "$(grep -A1 -- '--probe)' <<<"$bash")" "$(grep -- '--probe\[' <<<"$zsh")"; do
        for row in $rows; do
            [[ " $(tr -c 'a-z' ' ' <<<"$list") " == *" $row "* ]] || match "" "$row" "a condition not in: $list"
        done
    done
    match "cpu ac battery [a-z ]+" "$rows" "the rows"
    ;;
systemd)
    # The example units pass systemd's own check with this build's paths.
    command -v systemd-analyze >/dev/null || { echo "skipped: no systemd-analyze here"; exit 77; }
    for unit in "$src"/examples/systemd/*.service "$src"/examples/systemd/*.timer; do
        sed -e "s|/usr/bin/oscprobe|$oscprobe|" -e "s|/usr/local/bin/backup|/bin/true|" "$unit" >"$work/${unit##*/}"
    done
    cd "$work" && expect "exit=0" systemd-analyze verify ./*.service ./*.timer
    ;;
*) echo "unknown scenario $scenario" && exit 2 ;;
esac
[ "$failed" -eq 0 ] && echo "$scenario: as expected"
exit "$failed"
