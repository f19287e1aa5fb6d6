#!/usr/bin/env bash
# Peak memory of the look-ahead, which must stay bounded by its window (16,384 lines or 8 MiB)
# whatever lines came before: a 118 MB log whose lines hold from 1 to 1,200 addresses (2,000
# distinct, none with a name), and a log whose lines hold 100 addresses each, 100,000 distinct
# in turn, so that every address of the window is still to be looked up. Prints the peak of
# hostmoor-rdns (64 lookups in flight) beside the serial rewriter's. Runs inside the test DNS
# environment.
#   bench/lookahead_memory.sh [HOSTMOOR_RDNS]
set -euo pipefail
cd "$(dirname "$0")/.."
. bench/lib.sh
bench_prepare memory hostmoor-rdns hostmoor_rewrite
rdns=$(realpath "${1:-build/cli/hostmoor-rdns}")
awk 'BEGIN { srand(7); size = 0
    while (size < 118000000) {
        n = 1 + int(rand() * rand() * 1200); line = "GET /list?ips="
        for (i = 0; i < n; i++) { a = int(rand() * 2000)
            line = line sprintf("198.18.%d.%d,", int(a / 256), a % 256) }
        print line; size += length(line) + 1 } }' >"$work/varied.log"
awk 'BEGIN { a = 0
    for (l = 0; l < 30000; l++) { line = "GET /list?ips="
        for (i = 0; i < 100; i++) { line = line sprintf("198.19.%d.%d,", int(a / 256) % 256, a % 256)
            a = (a + 1) % 100000 }
        print line } }' >"$work/distinct.log"
cat >"$work/run.sh" <<'RUN'
set -e
work=$1 rdns=$2
for name in varied distinct; do
    printf "%-9s %4d MB  " "$name" "$(($(stat -c %s "$work/$name.log") / 1000000))"
    /usr/bin/time -f "%M %e" -o "$work/ahead" "$rdns" --quiet "$work/$name.log"
    /usr/bin/time -f "%M %e" -o "$work/serial" build/bench/hostmoor_rewrite --jobs 0 \
        "$work/$name.log" "$work/$name.serial" >/dev/null
    cmp -s "$work/$name.rdns" "$work/$name.serial" || echo "outputs differ"
    read -r aheadKb aheadS <"$work/ahead"
    read -r serialKb serialS <"$work/serial"
    printf "look-ahead: peak %6.1f MB (%s s)   serial: peak %6.1f MB (%s s)\n" \
        "$(echo "$aheadKb / 1024" | bc -l)" "$aheadS" "$(echo "$serialKb / 1024" | bc -l)" "$serialS"
done
RUN
tests/testdns/run.sh bash "$work/run.sh" "$work" "$rdns"
