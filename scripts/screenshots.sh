#!/usr/bin/env bash
# Starts Hostmoor under Xvfb with a fresh settings folder and saves a screenshot of each of
# its four pages in docs/screenshots/; inside the test DNS environment (as root) also ones of
# the lookup page answering IPv6 subjects and a pasted list, of a rewrite at work (held up by
# lookups that are never answered), and of the question on closing during it.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "${HOSTMOOR_TESTDNS:-}" != 1 ] && [ -z "${HOSTMOOR_TESTDNS_SKIP:-}" ]; then
    scripts/install-deps.sh build run screenshots test
    cmake -S . -B build >/dev/null
    cmake --build build -j "$(nproc)" --target hostmoor >/dev/null
    # A resolver time-out long enough that the rewrite is still at work for every shot.
    HOSTMOOR_TESTDNS_TIMEOUT=5 exec tests/testdns/run.sh "$0" "$@"
fi
out=${1:-docs/screenshots}
mkdir -p "$out"

config=$(mktemp -d)
. scripts/lib/xvfb.sh
app=""
xvfb_pid=""
trap 'kill $app $xvfb_pid 2>/dev/null; rm -rf "$config"' EXIT
start_xvfb "$config"
XDG_CONFIG_HOME=$config/settings build/app/hostmoor &
app=$!
win=$(xdotool search --sync --name '^Hostmoor$' | head -1)
sleep 1
shot() {
    import -window "$win" "$out/$1.png"
    echo "saved $out/$1.png ($(identify -format '%wx%h' "$out/$1.png"))"
}
# The window with the message box over it: the screen cut to the box around both.
shot_with_dialog() {
    local left=100000 top=100000 right=0 bottom=0 w
    for w in $(xdotool search --onlyvisible --name '^Hostmoor$'); do
        eval "$(xdotool getwindowgeometry --shell "$w")"
        left=$((X < left ? X : left))
        top=$((Y < top ? Y : top))
        right=$((X + WIDTH > right ? X + WIDTH : right))
        bottom=$((Y + HEIGHT > bottom ? Y + HEIGHT : bottom))
    done
    import -window root -crop "$((right - left))x$((bottom - top))+$left+$top" +repage "$out/$1.png"
    echo "saved $out/$1.png ($(identify -format '%wx%h' "$out/$1.png"))"
}
shot simple-dns
for page in a:advanced-dns t:about-software b:about-maker; do
    xdotool windowfocus --sync "$win"
    xdotool key "alt+${page%%:*}"
    sleep 0.5
    shot "${page#*:}"
done
if [ "${HOSTMOOR_TESTDNS:-}" = 1 ]; then
    # An IPv6 literal, a dual-stack name and an IPv6-only name, with extended information.
    xdotool windowfocus --sync "$win"
    xdotool key alt+s
    sleep 0.3
    xdotool key End shift+Home Delete
    xdotool type --delay 20 "2001:db8::40 dual.hm.test v6only.hm.test 2001:db8::99"
    xdotool key Return
    sleep 2.5
    shot lookup-ipv6

    # A list pasted with one subject a line, the box showing its line breaks as blanks.
    printf '192.0.2.1\n192.0.2.2\nalias.hm.test\n192.0.2.[3-5]\n' |
        xclip -selection clipboard
    xdotool key End shift+Home Delete ctrl+v Return
    sleep 3
    shot lookup-results

    # A rewrite held up by lookups in 198.51.100.0/24, which are never answered: Process is
    # Stop, and the progress shows at the first tick of its timer.
    log=$config/logs/access.log
    mkdir -p "$(dirname "$log")"
    rest=' - - [07/Dec/2026:12:00:00 +0000] "GET / HTTP/1.1" 200 512'
    for i in $(seq 0 3999); do echo "192.0.2.$((i % 10 + 1))$rest"; done >"$log"
    for i in $(seq 0 255); do echo "198.51.100.$i$rest"; done >>"$log"
    for i in $(seq 0 3999); do echo "192.0.2.$((i % 10 + 1))$rest"; done >>"$log"
    xdotool key alt+a
    sleep 0.3
    xdotool key End shift+Home Delete
    xdotool type --delay 5 "$log"
    xdotool key alt+p
    sleep 5.5
    shot rewrite-working
    # Closing asks first; Yes stops the rewrite and closes.
    xdotool key Escape
    sleep 1
    shot_with_dialog closing-rewrite
    xdotool key y
else
    echo "no test DNS server (${HOSTMOOR_TESTDNS_SKIP:-}): no shots of IPv6 lookups, a pasted" \
        "list and a rewrite"
    xdotool key Escape
fi
wait $app
