#!/usr/bin/env bash
# Runs scripts/demo headless on a built tree and ends it the ways a user does:
# Ctrl+C to its whole process group while the window is up, the window going
# away by itself, and a bad option for the simulated radio. Each time the demo
# must leave no temporary folder and no process behind, and its radio log must
# be where it said.
# Usage: demo_cleanup.sh <source dir> <build dir>; exits 77 when it cannot run.
set -euo pipefail
src=$1 build=$2
for program in calitune calitune-radio-sim; do
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
    QT_QPA_PLATFORM=offscreen CALITUNE_HISTORY=off CALITUNE_DEMO_PREBUILT=1 CALITUNE_BUILD=$build \
        "$src/scripts/demo" "$@" >"$scratch/out" 2>&1 &
    demo=$!
    set +m
}

wait_for_window() {
    local _
    for _ in $(seq 200); do
        group_members "$demo" | grep -q ' calitune$' && return 0
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

what="Ctrl+C"
start_demo
wait_for_window
[ -n "$(find "$TMPDIR" -maxdepth 1 -name 'calitune-demo.*')" ] ||
    fail "no calitune-demo.* folder in TMPDIR while the demo runs"
grep -q 'Ctrl+C' "$scratch/out" || fail "the demo does not say how to stop it"
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

echo "demo cleans up after Ctrl+C, the window ending and a bad radio option"
