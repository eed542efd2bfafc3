#!/usr/bin/env bash
# Runs scripts/demo headless on a built tree and ends it the ways a user does:
# Ctrl+C to its whole process group while the window is up, the window going
# away by itself, and a bad option for the simulated radio. Each time the demo
# must leave no temporary folder and no process behind, and its radio log must
# be where it said. While the window is up, the calitune-cli line the demo
# prints must read the demo's radio, and the history must go to the build
# folder's demo-history.db, which the web view the demo starts serves: nothing
# may appear in the (throw-away) home folder.
# Usage: demo_cleanup.sh <source dir> <build dir>; exits 77 when it cannot run.
set -euo pipefail
src=$1 build=$2
for program in calitune calitune-cli calitune-web calitune-radio-sim; do
    [ -x "$build/bin/$program" ] || { echo "SKIP: $build/bin/$program is not built"; exit 77; }
done
[ -r /proc/self/stat ] || { echo "SKIP: no /proc to find the demo's processes"; exit 77; }

scratch=$(mktemp -d)
demo=''
finish() {
    set +e
    [ -z "$demo" ] || kill -KILL -- "-$demo" 2>/dev/null
    rm -rf "$scratch"
}
trap finish EXIT
fail() {
    echo "FAIL: $*" >&2
    [ ! -f "$scratch/out" ] || sed 's/^/  demo: /' "$scratch/out" >&2
    exit 1
}

# Live members of process group $1, one "pid name" per line.
group_members() {
    local f line comm fields
    for f in /proc/[0-9]*/stat; do
        { line=$(<"$f"); } 2>/dev/null || continue
        comm=${line#*(} comm=${comm%)*}
        read -ra fields <<<"${line##*) }"
        if [[ ${fields[2]} == "$1" && ${fields[0]} != Z ]]; then echo "${line%% *} $comm"; fi
    done
    return 0
}

# Starts the demo in a process group of its own, as a shell does for a
# foreground job, so that the group gets the Ctrl+C.
start_demo() {
    export TMPDIR=$scratch/tmp
    mkdir -p "$TMPDIR"
    set -m
    QT_QPA_PLATFORM=offscreen CALITUNE_DEMO_PREBUILT=1 CALITUNE_BUILD=$build \
        "$src/scripts/demo" "$@" >"$scratch/out" 2>&1 &
    demo=$!
    set +m
}

wait_for_window() {
    local _
    for _ in $(seq 200); do
        grep -q ' calitune$' <<<"$(group_members "$demo")" && return 0
        kill -0 "$demo" 2>/dev/null || fail "the demo ended before its window ran"
        sleep 0.1
    done
    fail "no window process after 20 s"
}

# Waits for the demo to end and checks what it leaves; $1 is the exit status
# it must give.
check_demo_ended() {
    local status _
    for _ in $(seq 200); do
        kill -0 "$demo" 2>/dev/null || break
        sleep 0.1
    done
    kill -0 "$demo" 2>/dev/null && fail "the demo is still running 20 s after $what"
    status=0
    wait "$demo" || status=$?
    [ "$status" -eq "$1" ] || fail "$what: exit status $status, expected $1"
    left=$(group_members "$demo")
    [ -z "$left" ] || fail "$what: processes left running: $left"
    demo=''
    left=$(find "$TMPDIR" -maxdepth 1 -name 'calitune-demo.*')
    [ -z "$left" ] || fail "$what: left behind $left"
}

# The line the demo prints for calitune-cli, run as a user would paste it,
# must read the twelve values the radio was given. The window opens each port
# for a moment when it starts, so a busy port (status 2) is tried again.
check_cli_line() {
    local line output status _
    line=$(sed -n 's/^Try: //p' "$scratch/out")
    [ -n "$line" ] || fail "the demo prints no calitune-cli line"
    for _ in $(seq 20); do
        status=0
        output=$(bash -c "$line" 2>&1) || status=$?
        [ "$status" -eq 2 ] || break
        sleep 0.25
    done
    [ "$status" -eq 0 ] || fail "'$line' ended with status $status: $output"
    if ! grep -Eq '^high +90 +91 +92 +93 +94 +95$' <<<"$output" ||
        ! grep -Eq '^low +40 +41 +42 +43 +44 +45$' <<<"$output"; then
        fail "'$line' did not show the radio's values: $output"
    fi
}

# Both programs keep the demo's history in the build folder: the command
# line's read is recorded there, and the window was told the same file.
check_history() {
    local history=$build/demo-history.db link records window
    grep -qF "$history" "$scratch/out" || fail "the demo does not name $history"
    link=$(echo "$TMPDIR"/calitune-demo.*/radio)
    records=$(CALITUNE_HISTORY=$history "$build/bin/calitune-cli" history --port "$link")
    grep -qw read <<<"$records" || fail "the read is not in $history: $records"
    window=$(group_members "$demo" | sed -n 's/ calitune$//p')
    grep -qxF "CALITUNE_HISTORY=$history" <<<"$(tr '\0' '\n' <"/proc/$window/environ")" ||
        fail "the window keeps its history elsewhere than $history"
}

# The web view the demo names serves its history: the radio of its first read.
check_web() {
    local port page
    port=$(sed -n "s|^Web view of this demo's history: http://127\.0\.0\.1:\([0-9]*\)/\$|\1|p" "$scratch/out")
    [ -n "$port" ] || fail "the demo prints no web address"
    exec 3<>"/dev/tcp/127.0.0.1/$port" || fail "nothing listens on the demo's web address"
    printf 'GET /?format=csv HTTP/1.0\r\n\r\n' >&3
    page=$(cat <&3)
    exec 3<&-
    grep -q '^"DEMO0001",' <<<"${page//$'\r'/}" || fail "the demo's web view does not list DEMO0001: $page"
}

# Whatever the demo and the command line do, the home folder gains nothing.
export HOME=$scratch/home XDG_DATA_HOME=$scratch/home/data
mkdir -p "$XDG_DATA_HOME"

what="Ctrl+C"
start_demo --values 90,40,91,41,92,42,93,43,94,44,95,45
wait_for_window
[ -n "$(find "$TMPDIR" -maxdepth 1 -name 'calitune-demo.*')" ] ||
    fail "no calitune-demo.* folder in TMPDIR while the demo runs"
grep -q 'Ctrl+C' "$scratch/out" || fail "the demo does not say how to stop it"
check_cli_line
check_history
check_web
kill -INT -- "-$demo"
check_demo_ended 130
log=$(sed -n 's/.*its frames are logged in //p' "$scratch/out")
[[ -n $log && -f $log ]] || fail "the radio log '$log' the demo named is gone"

what="the window ending"
start_demo
wait_for_window
kill -TERM "$(group_members "$demo" | sed -n 's/ calitune$//p')"
check_demo_ended 143

what="a bad radio option"
start_demo --fault bogus
check_demo_ended 1
grep -q "bad fault 'bogus'" "$scratch/out" || fail "the radio's complaint is not shown"

left=$(find "$HOME" -mindepth 1 -not -path "$XDG_DATA_HOME")
[ -z "$left" ] || fail "files appeared in the home folder: $left"

echo "demo cleans up after Ctrl+C, the window ending and a bad radio option;"
echo "its calitune-cli line reads the radio, and its history stays in $build/demo-history.db"
