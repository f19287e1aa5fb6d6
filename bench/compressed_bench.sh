#!/usr/bin/env bash
# A compressed log rewritten by hostmoor-rdns against the pipeline a user would write by hand,
# inside the test DNS environment: a generated combined-format log of about MB megabytes
# (client addresses from 198.18.0.0/15, PTR records for RESOLVABLE_% of them), compressed with
# gzip -6 and with zstd -3. For each format, `hostmoor-rdns access.log.gz` against
# `gzip -dc access.log.gz | hostmoor-rdns --crlf | gzip -6` (the same lines, CR LF as a file's
# copy has them), taking turns ROUNDS times: the median wall time of each, their ratio, the size
# of each output, and the highest peak memory (hostmoor-rdns; each process of the pipeline and
# their sum). Checks that both outputs decode to the same bytes.
#   bench/compressed_bench.sh [MB] [DISTINCT] [RESOLVABLE_%] [ROUNDS]
set -euo pipefail
cd "$(dirname "$0")/.."
mb=${1:-200}
distinct=${2:-5000}
percent=${3:-70}
rounds=${4:-3}
. bench/lib.sh
bench_prepare compressed hostmoor_genlog hostmoor-rdns
scripts/install-deps.sh bench
rdns=$(realpath build/cli/hostmoor-rdns)

# About 186 bytes a line.
build/bench/hostmoor_genlog "$work/access.log" "$work/ptr.hosts" $((mb * 1000000 / 186)) \
    "$distinct" "$percent"
gzip -6 -c "$work/access.log" >"$work/access.log.gz"
zstd -3 -q -c "$work/access.log" >"$work/access.log.zst"
echo "log: $(($(stat -c %s "$work/access.log") / 1000000)) MB," \
    "gzip -6 $(($(stat -c %s "$work/access.log.gz") / 1000000)) MB," \
    "zstd -3 $(($(stat -c %s "$work/access.log.zst") / 1000000)) MB;" \
    "$distinct distinct addresses, $percent% with a name; $(nproc) processors"
rm "$work/access.log"
cat >"$work/extra.conf" <<CONF
addn-hosts=$work/ptr.hosts
local=/bench.test/
local=/18.198.in-addr.arpa/
local=/19.198.in-addr.arpa/
CONF

cat >"$work/run.sh" <<'RUN'
set -euo pipefail
work=$1 rdns=$2 rounds=$3
cd "$work"
now() { date +%s.%N; }
median() { printf '%s\n' "$@" | sort -n | sed -n "$((($# + 1) / 2))p"; }
most() { printf '%s\n' "$@" | sort -n | tail -1; }
mb() { echo "$1 / 1024" | bc -l; }
for format in gzip zstd; do
    if [ "$format" = gzip ]; then
        in=access.log.gz out=access.log.rdns.gz decode="gzip -dc" encode="gzip -6"
    else
        in=access.log.zst out=access.log.rdns.zst decode="zstd -dcq" encode="zstd -3 -q"
    fi
    own=() pipeline=() ownKb=() decodeKb=() rewriteKb=() encodeKb=()
    for _ in $(seq "$rounds"); do
        start=$(now)
        /usr/bin/time -f %M -o own.rss "$rdns" --quiet "$in"
        own+=("$(printf %.2f "$(echo "$(now) - $start" | bc)")")
        start=$(now)
        /usr/bin/time -f %M -o decode.rss $decode "$in" |
            /usr/bin/time -f %M -o rewrite.rss "$rdns" --quiet --crlf |
            /usr/bin/time -f %M -o encode.rss $encode >pipeline.out
        pipeline+=("$(printf %.2f "$(echo "$(now) - $start" | bc)")")
        ownKb+=("$(cat own.rss)") decodeKb+=("$(cat decode.rss)")
        rewriteKb+=("$(cat rewrite.rss)") encodeKb+=("$(cat encode.rss)")
    done
    cmp -s <($decode "$out") <($decode pipeline.out) || { echo "$format: outputs differ"; exit 1; }
    o=$(median "${own[@]}") p=$(median "${pipeline[@]}")
    d=$(most "${decodeKb[@]}") r=$(most "${rewriteKb[@]}") e=$(most "${encodeKb[@]}")
    printf "%-5s %-34s %7.2f s  %6.1f MB out  peak %6.1f MB\n" "$format" \
        "hostmoor-rdns $in" "$o" "$(echo "$(stat -c %s "$out") / 1000000" | bc -l)" \
        "$(mb "$(most "${ownKb[@]}")")"
    printf "%-5s %-34s %7.2f s  %6.1f MB out  peak %6.1f MB (%.1f + %.1f + %.1f)\n" "$format" \
        "${decode%% *} | hostmoor-rdns | ${encode% -q}" "$p" \
        "$(echo "$(stat -c %s pipeline.out) / 1000000" | bc -l)" "$(mb $((d + r + e)))" \
        "$(mb "$d")" "$(mb "$r")" "$(mb "$e")"
    printf "%-5s ratio hostmoor-rdns / pipeline: %.2f (medians of %d; each: %s / %s)\n" "$format" \
        "$(echo "$o / $p" | bc -l)" "$rounds" "${own[*]}" "${pipeline[*]}"
    rm -f "$out" pipeline.out
done
RUN
HOSTMOOR_TESTDNS_EXTRA="$work/extra.conf" tests/testdns/run.sh bash "$work/run.sh" "$work" "$rdns" \
    "$rounds"
