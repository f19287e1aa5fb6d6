#!/usr/bin/env bash
# Very long lines: one of 20 MB holding 100,000 addresses, where the substitution's cost must
# grow in step with the line; and one of 1 GiB without a break, where peak memory must stay
# near the line itself. Runs inside the test DNS environment (192.0.2.1-10 have names).
#   bench/long_lines.sh
set -euo pipefail
cd "$(dirname "$0")/.."
. bench/lib.sh
bench_prepare long hostmoor_rewrite
# 100,000 addresses of ten names in one line of about 20 MB, then a short line.
awk 'BEGIN { pad = sprintf("%150s", ""); gsub(/ /, "-", pad)
    for (i = 0; i < 100000; i++) printf "192.0.2.%d GET /request/%09d %s ", i % 10 + 1, i, pad
    print ""; print "end" }' \
    >"$work/addresses.log"
# 1 GiB of text without a line break.
head -c 1073741824 /dev/zero | tr '\0' 'x' >"$work/gigabyte.log"
cat >"$work/run.sh" <<'RUN'
set -e
for name in addresses gigabyte; do
    printf "%-10s %5d MB  " "$name" "$(($(stat -c %s "$1/$name.log") / 1000000))"
    build/bench/hostmoor_rewrite "$1/$name.log" "$1/$name.rdns"
done
RUN
tests/testdns/run.sh bash "$work/run.sh" "$work"
