#!/usr/bin/env bash
# Lookups in flight against a resolver that drops every query beyond 4 in flight, far fewer
# than the level starts at, so that it meets the limit however slowly it runs: the level
# hostmoor-rdns finds loses no name, its output the same as with 4 lookups at once. Nor does
# a process allowed few open files.
#   tests/cli/drop_relay_test.sh BUILD/cli/hostmoor-rdns BUILD/bench
set -u
rdns=$1
bench=$2
here=$(cd "$(dirname "$0")/../.." && pwd)
if [ "${HOSTMOOR_TESTDNS:-}" != 1 ] && [ -z "${HOSTMOOR_TESTDNS_SKIP:-}" ]; then
    # The log and its names are made first, for the test DNS server to serve them.
    tmp=$(mktemp -d)
    chmod 755 "$tmp"
    trap 'rm -rf "$tmp"' EXIT
    "$bench/hostmoor_genlog" "$tmp/access.log" "$tmp/ptr.hosts" 4000 400 70 >/dev/null || exit 1
    chmod 644 "$tmp"/*
    printf 'addn-hosts=%s\nlocal=/bench.test/\nlocal=/18.198.in-addr.arpa/\n' \
        "$tmp/ptr.hosts" >"$tmp/extra.conf"
    HOSTMOOR_TESTDNS_PORT=5353 HOSTMOOR_TESTDNS_EXTRA="$tmp/extra.conf" WORK="$tmp" \
        "$here/tests/testdns/run.sh" bash "$0" "$@"
    exit $?
fi
if [ "${HOSTMOOR_TESTDNS:-}" != 1 ]; then
    echo "SKIP: ${HOSTMOOR_TESTDNS_SKIP:-no test DNS server}"
    exit 77
fi
cd "$WORK"
failures=0
# run NAME ARGS...: one rewrite through a fresh relay (25 ms, at most 4 in flight): more than 4
# in flight takes only 160 queries a second, which a sanitizer build on a busy machine makes too.
run() {
    local name=$1
    shift
    "$bench/hostmoor_dnsrelay" 53 5353 25 "$name.relay" 4 &
    local relay=$!
    for _ in $(seq 50); do # until it listens
        ss -lun 2>/dev/null | grep -q '127.0.0.1:53 ' && break
        sleep 0.05
    done
    "$rdns" "$@" <access.log >"$name.out" || { echo "FAIL: $name: status $?"; failures=$((failures + 1)); }
    kill -TERM "$relay"
    wait "$relay"
}
run few --jobs 4
[ "$(cut -d' ' -f2 <few.relay)" = 0 ] || { echo "FAIL: 4 at once were dropped"; failures=$((failures + 1)); }
# A process starved of the processors may send too slowly to meet the limit: up to three runs.
for try in 1 2 3; do
    run automatic
    read -r queries dropped <automatic.relay
    echo "automatic: $queries queries, $dropped dropped by the relay"
    cmp -s few.out automatic.out || { echo "FAIL: the outputs differ: a name was lost"; failures=$((failures + 1)); }
    [ "$dropped" -gt 0 ] && break
done
[ "$dropped" -gt 0 ] || { echo "FAIL: the automatic level never met the relay's limit"; failures=$((failures + 1)); }
grep -q 'client-' few.out || { echo "FAIL: no name was written"; failures=$((failures + 1)); }
# With few files allowed, the lookups in flight stay within them: none fails for want of a
# socket, which would leave its address as it is.
"$bench/hostmoor_dnsrelay" 53 5353 0 files.relay &
relay=$!
for _ in $(seq 50); do
    ss -lun 2>/dev/null | grep -q '127.0.0.1:53 ' && break
    sleep 0.05
done
(ulimit -n 48 && exec "$rdns" <access.log >files.out) || { echo "FAIL: files: status $?"; failures=$((failures + 1)); }
kill -TERM "$relay"
wait "$relay"
cmp -s few.out files.out || { echo "FAIL: with 48 files allowed, addresses were left as they are"; failures=$((failures + 1)); }
[ $failures -eq 0 ] && echo "PASS" && exit 0
exit 1
