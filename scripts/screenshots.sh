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
# Xvfb picks a free display and tells its number.
Xvfb -displayfd 3 -screen 0 800x600x24 -nolisten tcp 3>"$config/display" &
xvfb=$!
app=""
trap 'kill $app $xvfb 2>/dev/null; rm -rf "$config"' EXIT
for _ in $(seq 100); do
    [ -s "$config/display" ] && break
    sleep 0.1
done
export DISPLAY=:$(cat "$config/display")
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
