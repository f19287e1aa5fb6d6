#!/usr/bin/env bash
# A resolver that drops what it cannot take: every query beyond MAX in flight is dropped
# without a word by the relay (20 ms a query). On one generated log (d: 50,000 lines, 2,000
# addresses, half with a name) hostmoor-rdns runs with the automatic level and with each
# fixed JOBS value in turn, ROUNDS times, each run with a test DNS server of its own; then once
# with --jobs 8, which the relay never drops from. Prints each run's time, queries and drops,
# the medians, the best fixed value's median against the automatic level's, and which outputs
# differ from the --jobs 8 output (a name lost).
#   bench/drop_bench.sh [MAX] [ROUNDS] [JOBS...]      (defaults 100, 3, and 64 96 100 128 256)
set -euo pipefail
cd "$(dirname "$0")/.."
most=${1:-100}
rounds=${2:-3}
shift $(($# < 2 ? $# : 2))
fixed=("${@:-}")
[ -z "${fixed[0]}" ] && fixed=(64 96 100 128 256)
. bench/lib.sh
bench_prepare drop hostmoor-rdns hostmoor_genlog hostmoor_dnsrelay
build/bench/hostmoor_genlog "$work/access.log" "$work/ptr.hosts" 50000 2000 50 >/dev/null
printf 'addn-hosts=%s\nlocal=/bench.test/\nlocal=/18.198.in-addr.arpa/\nlocal=/19.198.in-addr.arpa/\n' \
    "$work/ptr.hosts" >"$work/extra.conf"
chmod -R a+rX "$work"
echo "log d: 50,000 lines, 2,000 addresses (half with a name), 20 ms a query, at most $most in flight"

cat >"$work/one.sh" <<'ONE'
set -e
work=$1 most=$2 out=$3 jobs=$4
build/bench/hostmoor_dnsrelay 53 5353 20 "$out.relay" "$most" &
relay=$!
for _ in $(seq 50); do ss -lun | grep -q '127.0.0.1:53 ' && break; sleep 0.05; done
args=()
[ "$jobs" != auto ] && args=(--jobs "$jobs")
start=$(date +%s.%N)
build/cli/hostmoor-rdns -q "${args[@]}" <"$work/access.log" >"$out.txt"
end=$(date +%s.%N)
kill -TERM "$relay"
wait "$relay"
echo "$end - $start" | bc >"$out.time"
ONE
run() { # NAME JOBS
    HOSTMOOR_TESTDNS_PORT=5353 HOSTMOOR_TESTDNS_EXTRA="$work/extra.conf" \
        tests/testdns/run.sh bash "$work/one.sh" "$work" "$most" "$work/$1" "$2"
    read -r queries dropped <"$work/$1.relay"
    printf "%-10s %6.3f s  %5s queries  %4s dropped\n" "$1" "$(cat "$work/$1.time")" "$queries" \
        "$dropped"
}
run reference 8
lost=()
for round in $(seq "$rounds"); do
    for jobs in auto "${fixed[@]}"; do
        run "$jobs.$round" "$jobs"
        cmp -s "$work/reference.txt" "$work/$jobs.$round.txt" || lost+=("$jobs.$round")
    done
done
median() { cat "$work/$1".*.time | sort -n | sed -n "$(((rounds + 1) / 2))p"; }
best=""
for jobs in "${fixed[@]}"; do
    m=$(median "$jobs")
    printf "fixed %-4s median %.3f s\n" "$jobs" "$m"
    if [ -z "$best" ] || [ "$(echo "$m < $best" | bc)" = 1 ]; then best=$m; fi
done
auto=$(median auto)
printf "automatic median %.3f s; the best fixed %.3f s; automatic / best fixed: %.2f\n" "$auto" \
    "$best" "$(echo "$auto / $best" | bc -l)"
if [ ${#lost[@]} = 0 ]; then
    echo "every output equals the --jobs 8 output: no name lost"
else
    echo "outputs that differ from the --jobs 8 output (a name lost): ${lost[*]}"
fi
