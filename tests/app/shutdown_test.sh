#!/usr/bin/env bash
# Starts the real program under Xvfb, drives it with xdotool and checks start-up and
# shut-down: closing on Escape and on SIGTERM with the settings written, the wait of about
# 3.1 s when a lookup is still blocked at the end, the question on closing during a rewrite,
# a rewrite whose completed lines survive a lookup that never returns, and settings files that
# are damaged or cannot be written.
# Run it in the test DNS environment with a resolver time-out of several seconds.
#   tests/app/shutdown_test.sh BUILD/app/hostmoor
set -u
bin=$1
for tool in Xvfb xdotool; do
    if ! command -v $tool >/dev/null; then
        echo "SKIP: $tool is not installed"
        exit 77
    fi
done

# A real window on the virtual display, whatever the other tests use.
export QT_QPA_PLATFORM=xcb
tmp=$(mktemp -d)
. "$(dirname "$0")/../../scripts/lib/xvfb.sh"
xvfb_pid=""
trap 'kill $xvfb_pid 2>/dev/null; rm -rf "$tmp"' EXIT
start_xvfb "$tmp"

failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

# Starts the program with its own settings folder; sets pid and win.
start() {
    mkdir -p "$tmp/$1"
    XDG_CONFIG_HOME="$tmp/$1" "$bin" >"$tmp/$1.log" 2>&1 &
    pid=$!
    # A search can fail outright when a window goes away while it looks: ask again.
    win=""
    for _ in $(seq 80); do
        win=$(xdotool search --name '^Hostmoor$' 2>/dev/null | head -1)
        [ -n "$win" ] && break
        sleep 0.25
    done
    [ -n "$win" ] || fail "$1: no window; it said: $(cat "$tmp/$1.log")"
    xdotool windowactivate --sync "$win" >/dev/null 2>&1 || xdotool windowfocus --sync "$win"
}

# Waits for the program to end; sets rc and elapsed (seconds, from the call).
finish() {
    local begin=$(date +%s.%N)
    for _ in $(seq 200); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.05
    done
    if kill -0 "$pid" 2>/dev/null; then
        fail "still running after 10 s"
        kill -9 "$pid"
    fi
    wait "$pid"
    rc=$?
    elapsed=$(echo "$(date +%s.%N) - $begin" | bc)
}

conf() { cat "$tmp/$1/Brightfold/Hostmoor.conf" 2>/dev/null; }

# Waits until the program shows N windows (its own and a message box's); false if it never does.
windows() {
    for _ in $(seq 100); do
        [ "$(xdotool search --onlyvisible --name '^Hostmoor$' 2>/dev/null | wc -l)" = "$1" ] && return 0
        sleep 0.1
    done
    return 1
}

echo "== closes on Escape and writes its settings"
start escape
xdotool key Escape
finish
[ "$rc" -eq 0 ] || fail "exit code $rc"
conf escape | grep -q '^LookupSubject%200=$' || fail "history not written: $(conf escape)"
conf escape | grep -q '^InEdit%207=$' || fail "InEdit history not written"
conf escape | grep -q '^ShowExtendedInfo=1$' || fail "ShowExtendedInfo not written"
conf escape | grep -q '^ActiveTab=0$' || fail "ActiveTab not written"
conf escape | grep -q 'MaxSavedDropDownCount' && fail "MaxSavedDropDownCount written"
echo "   ended in ${elapsed}s"

echo "== closes on SIGTERM on the rewrite page"
start term
xdotool key alt+a
sleep 0.3
kill -TERM "$pid"
finish
[ "$rc" -eq 0 ] || fail "exit code $rc"
conf term | grep -q '^ActiveTab=1$' || fail "ActiveTab 1 not written: $(conf term)"

if [ "${HOSTMOOR_TESTDNS:-}" = 1 ]; then
    echo "== waits about 3.1 s for a lookup still blocked at the end"
    start blocked
    xdotool key End shift+Home BackSpace
    xdotool type --delay 10 "x.down.hm.test"
    xdotool key Return
    sleep 0.4
    xdotool key Escape
    finish
    echo "   ended in ${elapsed}s"
    [ "$rc" -eq 0 ] || fail "exit code $rc"
    (($(echo "$elapsed >= 3.0" | bc))) || fail "ended after ${elapsed}s, before the wait of 3.1 s"
    (($(echo "$elapsed < 8.0" | bc))) || fail "ended after ${elapsed}s"
    conf blocked | grep -q '^LookupSubject%200=x.down.hm.test$' || fail "history: $(conf blocked)"
else
    echo "SKIP: blocked lookup case: ${HOSTMOOR_TESTDNS_SKIP:-no test DNS server}"
fi

echo "== a settings file with lines that cannot be read: read, saved whole, no message at SIGTERM"
mkdir -p "$tmp/damaged/Brightfold"
printf '[%%General]\nActiveTab=1\n[unterminated\n\377\376garbage\n' >"$tmp/damaged/Brightfold/Hostmoor.conf"
start damaged
sleep 0.3
kill -TERM "$pid"
finish
[ "$rc" -eq 0 ] || fail "exit code $rc"
conf damaged | grep -q '^ActiveTab=1$' || fail "ActiveTab not kept: $(conf damaged)"
conf damaged | grep -q '^InEdit%207=$' || fail "history not saved: $(conf damaged)"

echo "== settings that cannot be written: reported on standard error at SIGTERM, no hang"
mkdir -p "$tmp/unwritable"
: >"$tmp/unwritable/Brightfold" # a file where the settings folder should be
start unwritable
sleep 0.3
kill -TERM "$pid"
finish
grep -q "Failed to create key .* Not a directory" "$tmp/unwritable.log" ||
    fail "no error on standard error: $(cat "$tmp/unwritable.log")"

if [ "${HOSTMOOR_TESTDNS:-}" = 1 ]; then
    echo "== closing during a rewrite asks; SIGTERM while it asks ends it; every completed line is kept"
    log="$tmp/rewrite/access.log"
    mkdir -p "$tmp/rewrite"
    for i in $(seq 1 5000); do echo "192.0.2.$((i % 10 + 1)) line $i"; done >"$log"
    echo "198.51.100.7 never answered" >>"$log"
    echo "192.0.2.1 after" >>"$log"
    start rewrite
    xdotool key alt+a
    sleep 0.5
    xdotool type --delay 5 "$log"
    xdotool key alt+p
    for _ in $(seq 100); do
        [ "$(wc -l <"$tmp/rewrite/access.rdns" 2>/dev/null)" = 5000 ] && break
        sleep 0.1
    done
    sleep 0.5 # the worker is in the lookup that never returns
    xdotool key Escape
    windows 2 || fail "no question on closing during a rewrite"
    xdotool key n # No: the rewrite goes on, the window stays
    windows 1 || fail "the question stays after No"
    kill -0 "$pid" 2>/dev/null || fail "ended after No"
    xdotool key Escape
    windows 2 || fail "no question the second time"
    kill -TERM "$pid" # ends the program without an answer; nothing else is asked
    finish
    echo "   ended in ${elapsed}s"
    [ "$rc" -eq 0 ] || fail "exit code $rc"
    # Every completed line, the stuck one at most as it stood (its address unchanged).
    out="$tmp/rewrite/access.rdns"
    lines=$(wc -l <"$out")
    { [ "$lines" = 5000 ] || [ "$lines" = 5001 ]; } || fail "$lines lines in the output"
    line5000=$(sed -n 5000p "$out" | tr -d '\r')
    [ "$line5000" = "host-1.hm.test line 5000" ] || fail "line 5000: $line5000"
    if [ "$lines" = 5001 ]; then
        last=$(tail -n 1 "$out" | tr -d '\r')
        [ "$last" = "198.51.100.7 never answered" ] || fail "last line: $last"
    fi
    [ "$(tail -c 2 "$out" | od -An -c | tr -d ' ')" = '\r\n' ] || fail "the output ends inside a line"
else
    echo "SKIP: rewrite case: ${HOSTMOOR_TESTDNS_SKIP:-no test DNS server}"
fi

if [ $failures -ne 0 ]; then
    for f in "$tmp"/*.log; do echo "--- $f"; cat "$f"; done
    exit 1
fi
echo "PASS"
