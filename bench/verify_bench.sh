#!/usr/bin/env bash
# Names checked against their addresses (--verify) and not, on one generated log (LINES lines,
# DISTINCT addresses, RESOLVABLE_% with a name that points back, every query held DELAY_MS by
# the relay), ROUNDS times in turn, each run with a test DNS server of its own. Prints each
# run's wall time and the queries the relay saw, the least and median times and their ratio.
#   bench/verify_bench.sh [LINES] [DISTINCT] [RESOLVABLE_%] [DELAY_MS] [ROUNDS]
set -euo pipefail
cd "$(dirname "$0")/.."
lines=${1:-20000}
distinct=${2:-1000}
percent=${3:-70}
delay=${4:-20}
rounds=${5:-5}
. bench/lib.sh
bench_prepare verify hostmoor-rdns hostmoor_genlog hostmoor_dnsrelay
build/bench/hostmoor_genlog "$work/access.log" "$work/ptr.hosts" "$lines" "$distinct" "$percent" \
    >/dev/null
printf 'addn-hosts=%s\nlocal=/bench.test/\nlocal=/18.198.in-addr.arpa/\nlocal=/19.198.in-addr.arpa/\n' \
    "$work/ptr.hosts" >"$work/extra.conf"
chmod -R a+rX "$work"
echo "log: $lines lines, $distinct distinct addresses ($percent% with a name), ${delay} ms per query"

cat >"$work/one.sh" <<'ONE'
set -e
work=$1 delay=$2 out=$3
shift 3
build/bench/hostmoor_dnsrelay 53 5353 "$delay" "$out.queries" &
relay=$!
for _ in $(seq 50); do ss -lun | grep -q '127.0.0.1:53 ' && break; sleep 0.05; done
start=$(date +%s.%N)
build/cli/hostmoor-rdns -q "$@" <"$work/access.log" >"$out.txt"
end=$(date +%s.%N)
kill -TERM "$relay"
wait "$relay"
echo "$end - $start" | bc >"$out.time"
ONE
for round in $(seq "$rounds"); do
    for mode in plain verify; do
        args=()
        [ "$mode" = verify ] && args=(--verify)
        HOSTMOOR_TESTDNS_PORT=5353 HOSTMOOR_TESTDNS_EXTRA="$work/extra.conf" \
            tests/testdns/run.sh bash "$work/one.sh" "$work" "$delay" "$work/$mode.$round" \
            "${args[@]}"
        printf "%-7s round %d: %6.3f s  %5s queries\n" "$mode" "$round" \
            "$(cat "$work/$mode.$round.time")" "$(cat "$work/$mode.$round.queries")"
    done
done
for mode in plain verify; do
    sorted=$(cat "$work/$mode".*.time | sort -n)
    printf "%-7s least %.3f s, median %.3f s\n" "$mode" "$(head -1 <<<"$sorted")" \
        "$(sed -n "$(((rounds + 1) / 2))p" <<<"$sorted")"
    eval "$mode=$(sed -n "$(((rounds + 1) / 2))p" <<<"$sorted")"
done
printf "verify / plain (medians): %.2f\n" "$(echo "$verify / $plain" | bc -l)"
cmp -s "$work/plain.1.txt" "$work/verify.1.txt" && echo "the outputs are the same: every name points back"
