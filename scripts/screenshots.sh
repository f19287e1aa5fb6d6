#!/usr/bin/env bash
# Starts Hostmoor under Xvfb with a fresh settings folder and saves a screenshot of each of
# its four pages in docs/screenshots/.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh build run screenshots
cmake -S . -B build >/dev/null
cmake --build build -j "$(nproc)" --target hostmoor >/dev/null
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
    xdotool windowfocus --sync "$win"; xdotool key "alt+${page%%:*}"
    sleep 0.5
    shot "${page#*:}"
done
xdotool key Escape
wait $app
