#!/usr/bin/env bash
# Starts Hostmoor under Xvfb with a fresh settings folder and saves a screenshot of each of
# its four pages in docs/screenshots/; inside the test DNS environment (as root) also one of
# the lookup page answering IPv6 subjects.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "${HOSTMOOR_TESTDNS:-}" != 1 ] && [ -z "${HOSTMOOR_TESTDNS_SKIP:-}" ]; then
    scripts/install-deps.sh build run screenshots test
    cmake -S . -B build >/dev/null
    cmake --build build -j "$(nproc)" --target hostmoor >/dev/null
    exec tests/testdns/run.sh "$0" "$@"
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
else
    echo "no test DNS server (${HOSTMOOR_TESTDNS_SKIP:-}): no shot of IPv6 lookups"
fi
xdotool key Escape
wait $app
