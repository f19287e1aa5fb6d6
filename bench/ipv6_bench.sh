#!/usr/bin/env bash
# hostmoor-rdns --ipv6 on a dual-stack log against hostmoor-rdns on an IPv4 log with the same
# number of distinct addresses: LINES lines, DISTINCT addresses of which RESOLVABLE_% have a
# name, IPV6_% of the clients IPv6 (2001:2::/48, also in one referrer in five), every query
# held DELAY_MS by a relay as a real network holds it. Prints each run's wall time, the
# queries the relay saw and peak memory, and checks that the dual-stack output with --ipv6
# replaces everything the output without it replaces.
#   bench/ipv6_bench.sh [LINES] [DISTINCT] [RESOLVABLE_%] [IPV6_%] [DELAY_MS]
set -euo pipefail
cd "$(dirname "$0")/.."
lines=${1:-20000}
distinct=${2:-1000}
percent=${3:-70}
v6=${4:-40}
delay=${5:-20}
. bench/lib.sh
bench_prepare ipv6 hostmoor-rdns hostmoor_genlog hostmoor_dnsrelay
build/bench/hostmoor_genlog "$work/dual.log" "$work/dual.hosts" "$lines" "$distinct" "$percent" 0 "$v6"
build/bench/hostmoor_genlog "$work/v4.log" "$work/v4.hosts" "$lines" "$distinct" "$percent" 0
# Each log with its own names: they share their first IPv4 addresses.
for log in dual v4; do
    cat >"$work/$log.conf" <<CONF
addn-hosts=$work/$log.hosts
local=/bench.test/
local=/18.198.in-addr.arpa/
local=/19.198.in-addr.arpa/
CONF
done
echo "logs: $lines lines, $distinct distinct addresses ($percent% with a name), ${delay} ms per query;" \
    "the dual-stack one $v6% IPv6 clients"
cat >"$work/run.sh" <<'RUN'
set -e
work=$1 delay=$2
measure() {
    local name=$1
    shift
    build/bench/hostmoor_dnsrelay 53 5353 "$delay" "$work/$name.queries" &
    local relay=$!
    sleep 0.2
    local start=$(date +%s.%N)
    /usr/bin/time -f "%M" -o "$work/$name.rss" "$@"
    local secs=$(echo "$(date +%s.%N) - $start" | bc)
    kill -TERM "$relay"
    wait "$relay"
    printf "%-36s %6.2f s  %6s queries  peak %5.1f MB\n" "$name" "$secs" \
        "$(cat "$work/$name.queries")" "$(echo "$(cat "$work/$name.rss") / 1024" | bc -l)"
}
rdns=build/cli/hostmoor-rdns
if [ "$3" = v4 ]; then
    measure "hostmoor-rdns, IPv4 log" "$rdns" --quiet "$work/v4.log"
else
    measure "hostmoor-rdns --ipv6, dual-stack log" sh -c "'$rdns' --quiet --ipv6 <'$work/dual.log' >'$work/dual.ipv6'"
    measure "hostmoor-rdns, dual-stack log" sh -c "'$rdns' --quiet <'$work/dual.log' >'$work/dual.ipv4'"
fi
RUN
for log in v4 dual; do
    HOSTMOOR_TESTDNS_PORT=5353 HOSTMOOR_TESTDNS_EXTRA="$work/$log.conf" \
        tests/testdns/run.sh bash "$work/run.sh" "$work" "$delay" "$log"
done
# With --ipv6, every line holds at least the replacements of the line without it.
paste -d '\n' "$work/dual.ipv4" "$work/dual.ipv6" | awk '
    NR % 2 { v4 = $0; next }
    { n4 = gsub(/client-[0-9]+\.bench\.test/, "&", v4); n6 = gsub(/client-[0-9]+\.bench\.test/, "&")
      if (n6 < n4) { bad++ } }
    END { if (bad) { print bad " lines lost a name with --ipv6"; exit 1 }
          print "the --ipv6 output replaces everything the output without it replaces" }'
