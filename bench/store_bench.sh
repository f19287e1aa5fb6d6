#!/usr/bin/env bash
# The answer store on a generated log (LINES lines, DISTINCT addresses, RESOLVABLE_% with a
# name, every query held DELAY_MS by a relay): hostmoor-rdns without the store, with a new
# store (the first run, which fills it) and with the filled one (the second run), ROUNDS times
# in turn; prints each run's wall time and the queries the relay saw, the medians, and the
# store's size.
#   bench/store_bench.sh [LINES] [DISTINCT] [RESOLVABLE_%] [DELAY_MS] [ROUNDS]
set -euo pipefail
cd "$(dirname "$0")/.."
lines=${1:-20000}
distinct=${2:-1000}
percent=${3:-70}
delay=${4:-20}
rounds=${5:-3}
. bench/lib.sh
bench_prepare store hostmoor-rdns hostmoor_genlog hostmoor_dnsrelay
build/bench/hostmoor_genlog "$work/access.log" "$work/ptr.hosts" "$lines" "$distinct" "$percent"
cat >"$work/extra.conf" <<CONF
addn-hosts=$work/ptr.hosts
local=/bench.test/
local=/18.198.in-addr.arpa/
local=/19.198.in-addr.arpa/
CONF
echo "log: $lines lines, $distinct distinct addresses ($percent% with a name), ${delay} ms per query"
cat >"$work/run.sh" <<'RUN'
set -e
work=$1 delay=$2 rounds=$3
rdns=build/cli/hostmoor-rdns
measure() {
    local name=$1
    shift
    build/bench/hostmoor_dnsrelay 53 5353 "$delay" "$work/queries" &
    local relay=$!
    sleep 0.2
    local start=$(date +%s.%N)
    "$@" >/dev/null
    local secs=$(echo "$(date +%s.%N) - $start" | bc)
    kill -TERM "$relay"
    wait "$relay"
    printf "%-24s %6.3f s  %5s queries\n" "$name" "$secs" "$(cat "$work/queries")"
    echo "$secs" >>"$work/$name.times"
}
for round in $(seq "$rounds"); do
    rm -f "$work"/answers.sqlite*
    measure "without the store" "$rdns" --quiet "$work/access.log"
    measure "first run, --cache" "$rdns" --quiet --cache="$work/answers.sqlite" "$work/access.log"
    measure "second run, --cache" "$rdns" --quiet --cache="$work/answers.sqlite" "$work/access.log"
done
for name in "without the store" "first run, --cache" "second run, --cache"; do
    printf "median %-21s %6.3f s\n" "$name" "$(sort -n "$work/$name.times" | sed -n "$(((rounds + 1) / 2))p")"
done
printf "the store: %s bytes (%s, with its -wal and -shm files)\n" \
    "$(stat -c %s "$work/answers.sqlite")" "$(du -ch "$work"/answers.sqlite* | tail -1 | cut -f1)"
RUN
HOSTMOOR_TESTDNS_PORT=5353 HOSTMOOR_TESTDNS_EXTRA="$work/extra.conf" \
    tests/testdns/run.sh bash "$work/run.sh" "$work" "$delay" "$rounds"
