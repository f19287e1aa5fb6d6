#!/usr/bin/env bash
# Compares Hostmoor's log rewriter with logresolve on one generated combined-format log,
# inside the test DNS environment (PTR records for part of the client addresses, NXDOMAIN
# for the rest). Prints lines and MB per second and the peak memory of each.
#   bench/rewrite_bench.sh [LINES] [DISTINCT] [RESOLVABLE_PERCENT]
set -euo pipefail
cd "$(dirname "$0")/.."
lines=${1:-2000000}
distinct=${2:-5000}
percent=${3:-70}
scripts/install-deps.sh build test bench
cmake -S . -B build >/dev/null
cmake --build build -j "$(nproc)" --target hostmoor_genlog hostmoor_rewrite >/dev/null

work=$(mktemp -d /tmp/hostmoor-bench.XXXXXX)
chmod 755 "$work"
trap 'rm -rf "$work"' EXIT
build/bench/hostmoor_genlog "$work/access.log" "$work/ptr.hosts" "$lines" "$distinct" "$percent"
cat >"$work/extra.conf" <<CONF
addn-hosts=$work/ptr.hosts
local=/bench.test/
local=/18.198.in-addr.arpa/
local=/19.198.in-addr.arpa/
CONF
size=$(stat -c %s "$work/access.log")
echo "log: $lines lines, $distinct distinct addresses ($percent% resolvable), $((size / 1000000)) MB"

cat >"$work/run.sh" <<'RUN'
set -e
work=$1
lines=$2
measure() {
    local name=$1
    shift
    local start=$(date +%s.%N)
    /usr/bin/time -f "%M" -o "$work/$name.rss" "$@"
    local end=$(date +%s.%N)
    local secs=$(echo "$end - $start" | bc)
    local mb=$(echo "scale=1; $(stat -c %s "$work/access.log") / 1000000" | bc)
    printf "%-10s %7.2f s  %10.0f lines/s  %7.1f MB/s  peak %6.1f MB\n" "$name" "$secs" \
        "$(echo "$lines / $secs" | bc -l)" "$(echo "$mb / $secs" | bc -l)" \
        "$(echo "$(cat "$work/$name.rss") / 1024" | bc -l)"
}
measure hostmoor sh -c "build/bench/hostmoor_rewrite '$work/access.log' '$work/access.rdns' >/dev/null"
measure logresolve sh -c "logresolve <'$work/access.log' >'$work/access.logresolve'"
RUN
HOSTMOOR_TESTDNS_EXTRA="$work/extra.conf" tests/testdns/run.sh bash "$work/run.sh" "$work" "$lines"
# The two outputs agree on the first field (logresolve only rewrites that one).
if cmp -s <(cut -d' ' -f1 "$work/access.rdns") <(cut -d' ' -f1 "$work/access.logresolve"); then
    echo "first fields agree"
else
    echo "first fields differ" >&2
    exit 1
fi
