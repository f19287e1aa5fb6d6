#!/usr/bin/env bash
# Rewrites one generated combined-format log with Hostmoor's rewriter (one lookup at a time,
# and with lookups in flight) and with logresolve, in one run inside the test DNS environment.
# PTR records are served for part of the client addresses, NXDOMAIN for the rest, and a share
# of them sit behind a name server that never answers (resolver time-out 1 s). With a delay,
# every query goes through a relay that holds it that long, as a real network does. Prints
# wall time, lookups (queries the relay saw, or the rewriter's count), peak memory, and checks
# that every Hostmoor output is the same and that logresolve agrees on the first field.
#   bench/rewrite_bench.sh [LINES] [DISTINCT] [RESOLVABLE_%] [SILENT_%] [DELAY_MS] [JOBS...]
# JOBS are lookups in flight for Hostmoor's runs, 0 for one at a time, -1 for the automatic
# level (default: 0 -1).
set -euo pipefail
cd "$(dirname "$0")/.."
lines=${1:-2000000}
distinct=${2:-5000}
percent=${3:-70}
silent=${4:-0}
delay=${5:-0}
shift $(($# < 5 ? $# : 5))
jobs=("${@:-0}")
[ $# -eq 0 ] && jobs=(0 -1)
. bench/lib.sh
bench_prepare bench hostmoor_genlog hostmoor_rewrite hostmoor_dnsrelay

build/bench/hostmoor_genlog "$work/access.log" "$work/ptr.hosts" "$lines" "$distinct" \
    "$percent" "$silent"
cat >"$work/extra.conf" <<CONF
addn-hosts=$work/ptr.hosts
local=/bench.test/
local=/18.198.in-addr.arpa/
local=/19.198.in-addr.arpa/
CONF
size=$(stat -c %s "$work/access.log")
echo "log: $lines lines, $((size / 1000000)) MB, $distinct distinct addresses ($percent% with a" \
    "name, $silent% silent), ${delay} ms per query"

cat >"$work/run.sh" <<'RUN'
set -e
work=$1; delay=$2; shift 2
port=53
[ "$delay" -gt 0 ] && port=5353
# measure NAME COMMAND: one run, with a fresh relay when there is a delay.
measure() {
    local name=$1 relay="" lookups
    shift
    if [ "$delay" -gt 0 ]; then
        build/bench/hostmoor_dnsrelay 53 5353 "$delay" "$work/$name.queries" &
        relay=$!
        sleep 0.2
    fi
    local start=$(date +%s.%N)
    /usr/bin/time -f "%M" -o "$work/$name.rss" sh -c "$*" >"$work/$name.out"
    local secs=$(echo "$(date +%s.%N) - $start" | bc)
    if [ -n "$relay" ]; then
        kill -TERM "$relay"
        wait "$relay"
        lookups=$(cat "$work/$name.queries")
    else
        lookups=$(sed -n 's/.*lookups=\([0-9]*\).*/\1/p' "$work/$name.out")
    fi
    printf "%-22s %8.2f s  %8s lookups  peak %6.1f MB\n" "$name" "$secs" "${lookups:--}" \
        "$(echo "$(cat "$work/$name.rss") / 1024" | bc -l)"
}
for jobs in "$@"; do
    label="hostmoor, $jobs in flight"
    [ "$jobs" = 0 ] && label="hostmoor, one at a time"
    [ "$jobs" = -1 ] && label="hostmoor, automatic"
    measure "$label" build/bench/hostmoor_rewrite --jobs "$jobs" "$work/access.log" \
        "$work/access.$jobs.rdns"
done
measure logresolve "logresolve <'$work/access.log' >'$work/access.logresolve'"
RUN
HOSTMOOR_TESTDNS_PORT=$([ "$delay" -gt 0 ] && echo 5353 || echo 53) \
    HOSTMOOR_TESTDNS_EXTRA="$work/extra.conf" \
    tests/testdns/run.sh bash "$work/run.sh" "$work" "$delay" "${jobs[@]}"

first=${jobs[0]}
for j in "${jobs[@]}"; do
    cmp -s "$work/access.$first.rdns" "$work/access.$j.rdns" ||
        { echo "outputs differ: $first and $j in flight" >&2; exit 1; }
done
echo "every Hostmoor output is the same"
# logresolve only rewrites the first field; there the two agree.
if cmp -s <(cut -d' ' -f1 "$work/access.$first.rdns") <(cut -d' ' -f1 "$work/access.logresolve"); then
    echo "first fields agree with logresolve"
else
    echo "first fields differ from logresolve" >&2
    exit 1
fi
