#!/usr/bin/env bash
# hostmoor-rdns beside two other log resolvers, logresolve (Debian's apache2-utils) and
# jdresolve, on generated combined-format logs, in interleaved rounds in one run. Every run has
# a test DNS server of its own, and every query passes through the project's relay, which
# holds it DELAY ms and counts it. Prints each tool's least and median wall time, the queries
# it sent and its peak memory, then Hostmoor's time over the best peer's and, for the logs
# without latency, Hostmoor without DNS (every answer from a store filled by a run before it,
# not timed) over a scan-only copy (hostmoor_scancopy: the same scanner, no lookups). Written
# data is synced before each run, so that no run pays for the last one's.
#   bench/peers_bench.sh [ROUNDS] [LOG...]      (default: 3 rounds of a b c d e)
#   BUSY=1 bench/peers_bench.sh ...             (with one busy loop beside every run)
#   DROP=N bench/peers_bench.sh ...             (a relay that drops what is beyond N in flight)
#   TOOLS="hostmoor logresolve" bench/peers_bench.sh ...   (only these of the five)
# The logs: LINES DISTINCT RESOLVABLE_% SILENT_% DELAY_MS
#   a: 200,000 lines, 5,000 addresses, no latency     c: 2,000,000 lines, 5,000, no latency
#   b: 20,000 lines, 1,000 addresses, 20 ms           d: 50,000 lines, 2,000, half named, 20 ms
#   e: 20,000 lines, 500 addresses, 10 % behind a name server that never answers, 20 ms
# jdresolve waits 3 s for a host (-t 3), as long as hostmoor-rdns's three tries of the test
# resolver's 1 s time-out.
set -euo pipefail
cd "$(dirname "$0")/.."
rounds=${1:-3}
shift $(($# > 0 ? 1 : 0))
logs=("${@:-}")
[ -z "${logs[0]}" ] && logs=(a b c d e)
. bench/lib.sh
bench_prepare peers hostmoor-rdns hostmoor_genlog hostmoor_dnsrelay hostmoor_scancopy
scripts/install-deps.sh bench-peers

declare -A shape=(
    [a]="200000 5000 70 0 0" [b]="20000 1000 70 0 20" [c]="2000000 5000 70 0 0"
    [d]="50000 2000 50 0 20" [e]="20000 500 60 10 20"
)
for log in "${logs[@]}"; do
    read -r lines distinct named silent _ <<<"${shape[$log]}"
    mkdir -p "$work/$log"
    build/bench/hostmoor_genlog "$work/$log/access.log" "$work/$log/ptr.hosts" "$lines" \
        "$distinct" "$named" "$silent" >/dev/null
    printf 'addn-hosts=%s\nlocal=/bench.test/\nlocal=/18.198.in-addr.arpa/\nlocal=/19.198.in-addr.arpa/\n' \
        "$work/$log/ptr.hosts" >"$work/$log/extra.conf"
done
chmod -R a+rX "$work"

# One measurement, inside a test DNS namespace of its own: TOOL LOG DELAY OUT.
cat >"$work/one.sh" <<'ONE'
set -e
tool=$1 log=$2 delay=$3 out=$4 work=$5
cd "$work/$log"
build=$OLDPWD/build
relay() {
    "$build/bench/hostmoor_dnsrelay" 53 5353 "$delay" "$out.relay" ${DROP:-} &
    relay=$!
    for _ in $(seq 50); do ss -lun | grep -q '127.0.0.1:53 ' && break; sleep 0.05; done
}
relay
case $tool in
hostmoor) command=("$build/cli/hostmoor-rdns" -q) ;;
stored)
    "$build/cli/hostmoor-rdns" -q --cache="$out.store" <access.log >/dev/null
    kill -TERM "$relay"
    wait "$relay"
    relay
    command=("$build/cli/hostmoor-rdns" -q --cache="$out.store")
    ;;
logresolve) command=(logresolve) ;;
jdresolve) command=(jdresolve -n -t 3 -) ;;
scancopy) command=("$build/bench/hostmoor_scancopy" /dev/stdin /dev/stdout) ;;
esac
sync
start=$(date +%s.%N)
/usr/bin/time -f %M -o "$out.rss" "${command[@]}" <access.log >"$out.txt" 2>/dev/null
end=$(date +%s.%N)
kill -TERM "$relay"
wait "$relay"
echo "$start $end" >"$out.time"
ONE
cd_build=$PWD

export DROP=${DROP:-}
busy=""
if [ "${BUSY:-}" = 1 ]; then
    bash -c 'while :; do :; done' &
    busy=$!
    trap 'kill $busy 2>/dev/null; rm -rf "$work"' EXIT
fi

for round in $(seq "$rounds"); do
    for log in "${logs[@]}"; do
        read -r _ _ _ _ delay <<<"${shape[$log]}"
        tools=(hostmoor logresolve jdresolve)
        [ "$delay" = 0 ] && tools+=(stored scancopy)
        for tool in "${tools[@]}"; do
            [ -n "${TOOLS:-}" ] && [[ " $TOOLS " != *" $tool "* ]] && continue
            out="$work/$log/$tool.$round"
            (cd "$cd_build" && HOSTMOOR_TESTDNS_PORT=5353 \
                HOSTMOOR_TESTDNS_EXTRA="$work/$log/extra.conf" \
                tests/testdns/run.sh bash "$work/one.sh" "$tool" "$log" "$delay" "$out" "$work")
        done
    done
done

printf "%-4s %-11s %8s %8s %9s %9s %8s\n" log tool "min s" "median s" queries dropped "peak MB"
for log in "${logs[@]}"; do
    declare -A best=()
    for tool in hostmoor logresolve jdresolve stored scancopy; do
        ls "$work/$log/$tool".*.time >/dev/null 2>&1 || continue
        times=$(for f in "$work/$log/$tool".*.time; do read -r s e <"$f"; echo "$e - $s" | bc; done | sort -n)
        min=$(head -1 <<<"$times")
        median=$(sed -n "$(((rounds + 1) / 2))p" <<<"$times")
        read -r queries dropped <"$work/$log/$tool.1.relay" || true
        rss=$(cat "$work/$log/$tool.1.rss")
        best[$tool]=$min
        printf "%-4s %-11s %8.3f %8.3f %9s %9s %8.1f\n" "$log" "$tool" "$min" "$median" \
            "$queries" "${dropped:--}" "$(echo "$rss / 1024" | bc -l)"
    done
    peer=$(printf '%s\n' "${best[logresolve]:-}" "${best[jdresolve]:-}" | grep . | sort -n | head -1 || true)
    line=""
    [ -n "${best[hostmoor]:-}" ] && [ -n "$peer" ] &&
        line+=$(printf "hostmoor / best peer: %.2f" "$(echo "${best[hostmoor]} / $peer" | bc -l)")
    [ -n "${best[stored]:-}" ] && [ -n "${best[scancopy]:-}" ] &&
        line+=$(printf "%swithout DNS / scan-only copy: %.2f" "${line:+, }" "$(echo "${best[stored]} / ${best[scancopy]}" | bc -l)")
    [ -n "$line" ] && printf "%-4s %s\n" "$log" "$line"
    unset best
done
