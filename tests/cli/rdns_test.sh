#!/usr/bin/env bash
# hostmoor-rdns against the test DNS server: the same bytes as the engine's rewriter, a pipe
# keeping LF, --crlf, every refusal with its status and message, failures that empty nothing,
# --stats, compressed logs, and SIGTERM in the middle of a file.
#   tests/cli/rdns_test.sh BUILD/cli/hostmoor-rdns BUILD/bench/hostmoor_rewrite VERSION
# Run it in the test DNS environment with a resolver time-out of several seconds.
set -u
rdns=$1
engine=$2
version=$3
if [ "${HOSTMOOR_TESTDNS:-}" != 1 ]; then
    echo "SKIP: ${HOSTMOOR_TESTDNS_SKIP:-no test DNS server}"
    exit 77
fi
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
cd "$tmp"
failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}
# expect STATUS MESSAGE COMMAND...: the status, and the message as the only line on stderr.
expect() {
    local status=$1 message=$2
    shift 2
    "$@" >out 2>err
    local rc=$?
    [ "$rc" = "$status" ] || fail "$*: status $rc, not $status"
    [ "$(cat err)" = "$message" ] || fail "$*: said '$(cat err)', not '$message'"
}

echo "== a file is rewritten as the engine's rewriter rewrites it"
{
    printf '192.0.2.1 - - [07/Dec/2026:10:00:00 +0000] "GET /v1.2/a.html HTTP/1.1" 200 12\r\n'
    printf '192.0.2.99 - "http://192.0.2.30/ref" 01.02.03.04 release 1.2.3.4.5\r\n'
    printf '192.0.2.2,192.0.2.3.\r\n\r\nlast 192.0.2.10\x1aafter the end\r\n'
} >mixed.log
# The reference makes its lookups one after another, as the rewriter without its look-ahead.
"$engine" --jobs 0 mixed.log reference.rdns >/dev/null || fail "the engine's rewriter failed"
mv reference.rdns reference.keep
"$rdns" mixed.log || fail "status $?"
cmp -s mixed.rdns reference.keep || fail "mixed.rdns differs from the engine's output"
grep -q 'host-1.hm.test - - ' mixed.rdns || fail "nothing was resolved: $(cat mixed.rdns)"

echo "== a pipe keeps LF, --crlf asks for CR LF, other inputs get CR LF"
[ "$(printf '192.0.2.4 a\nb\n' | "$rdns" | od -An -c | tr -d ' \n')" = 'host-4.hm.testa\nb\n' ] ||
    fail "LF pipe: $(printf '192.0.2.4 a\nb\n' | "$rdns" | od -c)"
[ "$(printf 'a\nb\n' | "$rdns" --crlf | od -An -c | tr -d ' \n')" = 'a\r\nb\r\n' ] || fail "--crlf"
[ "$(printf 'a\rb' | "$rdns" | od -An -c | tr -d ' \n')" = 'a\r\nb\r\n' ] || fail "CR pipe"
[ "$(printf 'a\nb\n' | "$rdns" -)" = "$(printf 'a\nb')" ] || fail "- is standard input"

echo "== a pipe's lines come out as they come in"
mkfifo in.fifo out.fifo
"$rdns" <in.fifo >out.fifo &
pid=$!
exec 7>in.fifo 8<out.fifo
printf '192.0.2.1 live\n' >&7
IFS= read -r -t 10 first <&8 || fail "no line out while the input stays open"
[ "$first" = "host-1.hm.test live" ] || fail "live line: $first"
# A line is out while the next one has only partly arrived, also after CR LF.
printf '192.0.2.2 second\r\n192.0.2.3 thi' >&7
IFS= read -r -t 10 second <&8 || fail "a complete line held back by a partial one"
[ "$second" = "host-2.hm.test second" ] || fail "second line: $second"
printf 'rd\n' >&7
IFS= read -r -t 10 third <&8 || fail "no third line"
[ "$third" = "host-3.hm.test third" ] || fail "third line: $third"
exec 7>&-
wait $pid || fail "status $? at the end of a live pipe"
exec 8<&-

echo "== refusals: each named with its reason, status 1, the rest processed"
printf 'x\n' >old.rdns
printf 'a 192.0.2.5\n' >a.log
printf 'other\n' >a.txt
printf 'c\n' >c
ln -s c c.rdns
printf 'victim\n' >victim.txt
printf 's\n' >s.log
ln -s victim.txt s.rdns
mkdir folder.log
mkfifo fifo.log
expect 1 "hostmoor-rdns: old.rdns: its output would have the same name and replace it" \
    "$rdns" old.rdns
expect 1 "hostmoor-rdns: ./a.log: it is named more than once (by this name or another of the same file)" "$rdns" a.log ./a.log
expect 1 "hostmoor-rdns: c: its output c.rdns is the file itself" "$rdns" c
expect 1 "hostmoor-rdns: a.txt: its output a.rdns is also a file of another job" \
    "$rdns" a.log a.txt
expect 1 "hostmoor-rdns: s.log: its output s.rdns is a symbolic link" "$rdns" s.log
expect 1 "hostmoor-rdns: folder.log: not a regular file" "$rdns" folder.log
expect 1 "hostmoor-rdns: fifo.log: not a regular file" timeout 5 "$rdns" fifo.log
[ "$(cat old.rdns c victim.txt)" = "$(printf 'x\nc\nvictim')" ] || fail "a refused file changed"
[ "$(cat a.rdns)" = "$(printf 'a host-5.hm.test\r')" ] || fail "a.log not rewritten: $(cat a.rdns)"
# A link into another folder, then "..": the folder the kernel reaches. An output that is a
# later input (a hard link) is refused, whatever the order.
mkdir -p other/inner h
ln -s other/inner inlink
printf 'o 192.0.2.7\n' >other/x.log
printf 'p\n' >other/x.txt
printf 'top\n' >x.log
printf 'b 192.0.2.8\n' >h/b.log
printf 'a\n' >h/a.log
ln h/b.log h/a.rdns
expect 1 "hostmoor-rdns: other/x.txt: its output other/x.rdns is also a file of another job" \
    "$rdns" inlink/../x.log other/x.txt
expect 0 "" "$rdns" x.log inlink/../x.log
expect 1 "hostmoor-rdns: h/a.log: its output h/a.rdns has other names (hard links), which would change with it" \
    "$rdns" h/a.log h/b.log
[ "$(cat h/b.log)" = "b 192.0.2.8" ] || fail "a later input was overwritten: $(cat h/b.log)"
[ "$(cat h/b.rdns)" = "$(printf 'b host-8.hm.test\r')" ] || fail "h/b.log not rewritten"

echo "== a missing file and an output that cannot be written: status 1, nothing emptied"
expect 1 "hostmoor-rdns: missing.log: No such file or directory" "$rdns" missing.log
mkdir ro
printf 'keep 192.0.2.6\n' >ro/in.log
printf 'old output\n' >ro/in.rdns
rm ro/in.rdns
mount --bind ro ro && mount -o remount,ro,bind ro || fail "no read-only folder"
expect 1 "hostmoor-rdns: Cannot create ro/in.rdns: Read-only file system" "$rdns" ro/in.log
umount ro
[ "$(cat ro/in.log)" = "keep 192.0.2.6" ] || fail "the input changed"

echo "== --stats on a small known log"
printf '192.0.2.7 a\n192.0.2.7 b\n192.0.2.98 c 192.0.2.8\n' >known.log
"$rdns" --stats known.log 2>err
sed -i 's/, [0-9.]* s$//' err
[ "$(cat err)" = "hostmoor-rdns: 3 lines, 47 bytes, 4 addresses met, 3 distinct, 2 resolved, 1 without a name, 5 lookups" ] ||
    fail "stats: $(cat err)"

echo "== --verify: a name that does not point back leaves its address"
printf '192.0.2.66 forged\n192.0.2.1 own\n' >verify.log
"$rdns" --verify --stats verify.log 2>err
[ "$(cat verify.rdns)" = "$(printf '192.0.2.66 forged\r\nhost-1.hm.test own\r')" ] ||
    fail "--verify: $(cat verify.rdns)"
grep -q '^hostmoor-rdns: 1 names not confirmed' err || fail "--verify stats: $(cat err)"

echo "== --cache: answers remembered between runs, trusted for an age; a bad store said once"
printf '192.0.2.7 a\n192.0.2.98 b\n192.0.2.7 c\n' >cached.log
stats() { sed -n "s/.*, \([0-9]*\) lookups.*/\1/p; s/.*: \([0-9]*\) answers from the store, \([0-9]*\) expired.*/\1 \2/p" err | tr '\n' ' '; }
"$rdns" --cache=store/answers.sqlite --stats cached.log 2>err
[ "$(stats)" = "4 0 0 " ] || fail "first run with the store: $(cat err)"
cp cached.rdns cached.first
"$rdns" --cache=store/answers.sqlite --stats cached.log 2>err
[ "$(stats)" = "0 2 0 " ] || fail "second run with the store: $(cat err)"
cmp -s cached.rdns cached.first || fail "the store changed the output"
sqlite3 store/answers.sqlite "UPDATE answers SET learned = learned - 7200" || fail "no sqlite3"
# Two hours old: the name is still trusted, the failure (an hour) is asked again.
"$rdns" --cache=store/answers.sqlite --stats cached.log 2>err
[ "$(stats)" = "3 1 1 " ] || fail "two hours old: $(cat err)"
"$rdns" --cache=store/answers.sqlite --cache-max-age 90m --stats cached.log 2>err
[ "$(stats)" = "1 1 1 " ] || fail "--cache-max-age 90m: $(cat err)"
printf 'not a database' >bad.sqlite
"$rdns" --cache=bad.sqlite --stats cached.log 2>err || fail "a bad store failed the rewrite"
[ "$(grep -vc ' lines, ' err)" = 1 ] && grep -q "bad.sqlite is unusable" err ||
    fail "bad store: $(cat err)"
cmp -s cached.rdns cached.first || fail "a bad store changed the output"
[ "$(cat bad.sqlite)" = "not a database" ] || fail "the bad store was written"

echo "== compressed logs: a rotated set, each format decoding to the plain rewrite"
mkdir rot
for i in $(seq 1 3000); do
    echo "192.0.2.$((i % 12 + 1)) - - [07/Dec/2026:10:00:00 +0000] \"GET /$i HTTP/1.1\" 200 $i"
done >rot/plain.txt
"$rdns" rot/plain.txt || fail "plain.txt: status $?"
cp rot/plain.txt rot/access.log
cp rot/plain.txt rot/access.log.1
gzip -c rot/plain.txt >rot/access.log.2.gz
bzip2 -c rot/plain.txt >rot/access.log.3.bz2
xz -c rot/plain.txt >rot/access.log.4.xz
zstd -qc rot/plain.txt >rot/access.log.5.zst
"$rdns" --stats rot/access.log* 2>err || fail "rotated set: status $?: $(cat err)"
[ "$(grep -vc ' lines, ' err)" = 0 ] || fail "rotated set: $(cat err)"
(cd rot && ls) | tr '\n' ' ' >listed
[ "$(cat listed)" = "access.log access.log.1 access.log.2.gz access.log.2.rdns.gz access.log.3.bz2 access.log.3.rdns.bz2 access.log.4.rdns.xz access.log.4.xz access.log.5.rdns.zst access.log.5.zst access.log.rdns access.rdns plain.rdns plain.txt " ] ||
    fail "rotated set: $(cat listed)"
for decode in "cat rot/access.rdns" "cat rot/access.log.rdns" "gzip -dc rot/access.log.2.rdns.gz" \
    "bzip2 -dc rot/access.log.3.rdns.bz2" "xz -dc rot/access.log.4.rdns.xz" \
    "zstd -dcq rot/access.log.5.rdns.zst"; do
    $decode | cmp -s - rot/plain.rdns || fail "$decode differs from the plain rewrite"
done
grep -q '^host-2.hm.test - - ' rot/plain.rdns || fail "nothing resolved in the set"
# Concatenated gzip members are read whole.
cat rot/access.log.2.gz rot/access.log.2.gz >rot/twice.gz
"$rdns" rot/twice.gz || fail "twice.gz: status $?"
cat rot/plain.rdns rot/plain.rdns | cmp -s - <(gzip -dc rot/twice.rdns.gz) ||
    fail "concatenated members"
# Each format cut short: named and said damaged, whole lines kept, the batch goes on.
for f in access.log.2.gz access.log.3.bz2 access.log.4.xz access.log.5.zst; do
    head -c $(($(stat -c %s rot/$f) * 3 / 4)) rot/$f >rot/cut.$f
done
printf '192.0.2.1 ok\n' >rot/ok.log
"$rdns" rot/cut.* rot/ok.log 2>err
[ $? = 1 ] || fail "cut files: not status 1"
[ "$(cat err)" = "$(printf '%s\n' \
    "hostmoor-rdns: Cannot read rot/cut.access.log.2.gz: it is damaged (gzip data cut short)" \
    "hostmoor-rdns: Cannot read rot/cut.access.log.3.bz2: it is damaged (bzip2 data cut short)" \
    "hostmoor-rdns: Cannot read rot/cut.access.log.4.xz: it is damaged (xz data cut short)" \
    "hostmoor-rdns: Cannot read rot/cut.access.log.5.zst: it is damaged (zstd data cut short)")" ] ||
    fail "cut files: $(cat err)"
[ "$(cat rot/ok.rdns)" = "$(printf 'host-1.hm.test ok\r')" ] || fail "the batch stopped"
for decode in "gzip -dc rot/cut.access.log.2.rdns.gz" "bzip2 -dc rot/cut.access.log.3.rdns.bz2" \
    "xz -dc rot/cut.access.log.4.rdns.xz" "zstd -dcq rot/cut.access.log.5.rdns.zst"; do
    $decode >kept || fail "$decode: not a whole stream"
    [ "$(tail -c 2 kept | od -An -c | tr -d ' ')" != '\r\n' ] && [ -s kept ] &&
        fail "$decode ends inside a line"
    cmp -s kept <(head -c "$(stat -c %s kept)" rot/plain.rdns) || fail "$decode: not the lines before"
done
# A file that fails part-way still counts the lines it wrote.
"$rdns" --stats rot/cut.access.log.2.gz 2>err
written=$(gzip -dc rot/cut.access.log.2.rdns.gz | wc -l)
[ "$written" -gt 0 ] && [ "$(sed -n 's/^hostmoor-rdns: \([0-9]*\) lines, .*/\1/p' err)" = "$written" ] ||
    fail "--stats of a damaged file: $(cat err)"
# Standard input compressed or not; standard output compressed when asked.
"$rdns" <rot/plain.txt >plain.out
"$rdns" <rot/access.log.5.zst | cmp -s - plain.out || fail "compressed standard input"
"$rdns" --compress=xz <rot/access.log.2.gz | xz -dc | cmp -s - plain.out || fail "--compress=xz"
expect 2 "$(printf "hostmoor-rdns: 'lz4' is not gzip, bzip2, xz, zstd or none\nTry 'hostmoor-rdns --help'.")" \
    "$rdns" --compress=lz4
expect 2 "$(printf "hostmoor-rdns: option '--compress' is for standard output; a file's copy is compressed as the file is\nTry 'hostmoor-rdns --help'.")" \
    "$rdns" --compress=gzip rot/ok.log

echo "== --help, --version and wrong command lines"
"$rdns" --help | grep -q '^Usage: hostmoor-rdns' || fail "--help"
[ "$("$rdns" --version)" = "hostmoor-rdns $version" ] || fail "--version: $("$rdns" --version)"
expect 2 "$(printf "hostmoor-rdns: unknown option '--nope'\nTry 'hostmoor-rdns --help'.")" \
    "$rdns" --nope
expect 2 "$(printf "hostmoor-rdns: 'many' is not a number of lookups from 1 to 1024\nTry 'hostmoor-rdns --help'.")" \
    "$rdns" --jobs many
expect 2 "$(printf "hostmoor-rdns: option '--jobs' needs a value\nTry 'hostmoor-rdns --help'.")" \
    "$rdns" --jobs= 8 a.log
expect 2 "$(printf "hostmoor-rdns: option '--cache-max-age' is for answers remembered with --cache\nTry 'hostmoor-rdns --help'.")" \
    "$rdns" --cache-max-age 2d a.log
expect 2 "$(printf "hostmoor-rdns: '0' is not a duration such as 90m, 36h or 2d\nTry 'hostmoor-rdns --help'.")" \
    "$rdns" --cache --cache-max-age 0 a.log
expect 2 "$(printf "hostmoor-rdns: '31d' is longer than the 30 days a name may be trusted\nTry 'hostmoor-rdns --help'.")" \
    "$rdns" --cache --cache-max-age 31d a.log

echo "== a filter refuses to append to its own input, and ends quietly when its reader goes"
printf '192.0.2.1 a\n' >self.log
expect 1 "hostmoor-rdns: standard input: its output standard output is the file itself" \
    sh -c "'$rdns' <self.log >>self.log"
[ "$(cat self.log)" = "192.0.2.1 a" ] || fail "its own input changed: $(cat self.log)"
seq 1 200000 | sed 's/^/192.0.2.4 /' >many.log
(
    "$rdns" <many.log 2>err
    echo $? >rc
) | head -1 >first
[ "$(cat first)" = "host-4.hm.test 1" ] || fail "head -1: $(cat first)"
[ "$(cat rc)" = 141 ] || fail "status $(cat rc) once the reader went, not as SIGPIPE ends a filter"
[ ! -s err ] || fail "said '$(cat err)' once the reader went"

echo "== no progress line on the terminal that standard output writes to"
cat >slow.sh <<SLOW
(printf '192.0.2.6 a\n'; sleep 0.7; printf 'b\n') | '$rdns'
SLOW
script -qec "sh slow.sh" /dev/null >tty.out
[ "$(tr -d '\r' <tty.out)" = "$(printf 'host-6.hm.test a\nb')" ] || fail "terminal: $(od -c tty.out)"

echo "== a full disk leaves the filtered output on a complete line"
mkdir full
mount -t tmpfs -o size=64k tmpfs full || fail "no small tmpfs"
awk 'BEGIN { for (i = 0; i < 5000; i++) printf "192.0.2.5 line %d of a log that fills the disk\n", i }' |
    "$rdns" >full/out 2>err
[ $? = 1 ] || fail "a full disk did not fail the filter"
grep -q "No space left on device" err || fail "full disk: $(cat err)"
[ "$(tail -c 1 full/out | od -An -c | tr -d ' ')" = '\n' ] || fail "the filtered output ends inside a line"
umount full

echo "== SIGINT stops a writer that nobody reads at once, the pipe holding whole lines"
mkfifo stuck.fifo
"$rdns" <many.log >stuck.fifo 2>/dev/null &
pid=$!
exec 9<stuck.fifo
IFS= read -r line <&9 # it is running, and the pipe fills behind this line
# Wait until the writer is blocked in the full pipe.
for _ in $(seq 200); do
    grep -qs pipe_write /proc/$pid/task/*/wchan && break
    sleep 0.05
done
grep -qs pipe_write /proc/$pid/task/*/wchan || fail "the writer never blocked in the pipe"
begin=$(date +%s.%N)
kill -INT $pid
wait $pid
rc=$?
elapsed=$(echo "$(date +%s.%N) - $begin" | bc)
cat <&9 >stuck.out
exec 9<&-
[ "$rc" = 130 ] || fail "status $rc after SIGINT"
# Within a moment, not after the 3.1 s given to a lookup that does not return.
(($(echo "$elapsed < 2" | bc))) || fail "SIGINT took ${elapsed}s to stop a blocked writer"
[ "$(tail -c 1 stuck.out | od -An -c | tr -d ' ')" = '\n' ] || fail "the pipe ends inside a line"

echo "== a task limit: the lookups go on with the threads there are, or none"
chmod 755 .
mkdir limited
chmod 777 limited
for i in $(seq 1 3000); do echo "192.0.2.$((i % 10 + 1)) line $i 198.18.$((i % 7)).$((i % 250))"; done >limited/in.log
"$engine" --jobs 0 limited/in.log limited/expected.rdns >/dev/null || fail "no reference"
# 1: no thread beside the main one; 2: none for lookups; 4: two for lookups.
for nproc in 1 2 4; do
    rm -f limited/in.rdns
    # (LeakSanitizer's check at the end needs a thread of its own.)
    ASAN_OPTIONS="${ASAN_OPTIONS:-} detect_leaks=0" \
        setpriv --reuid=65534 --regid=65534 --clear-groups prlimit --nproc=$nproc \
        "$rdns" --jobs 64 limited/in.log 2>err
    rc=$?
    [ "$rc" = 0 ] || fail "status $rc under a limit of $nproc tasks: $(cat err)"
    cmp -s limited/in.rdns limited/expected.rdns || fail "output under a limit of $nproc tasks differs"
done

echo "== SIGTERM, SIGHUP and SIGQUIT in the middle of a file: complete lines, 128 + the signal"
for i in $(seq 1 3000); do echo "192.0.2.$((i % 10 + 1)) line $i"; done >big.log
echo "198.51.100.9 never answered" >>big.log
echo "192.0.2.1 after" >>big.log
for signal in TERM HUP QUIT; do
    rm -f big.rdns
    "$rdns" big.log 2>err &
    pid=$!
    for _ in $(seq 100); do
        [ "$(wc -l 2>/dev/null <big.rdns)" = 3000 ] && break
        sleep 0.1
    done
    sleep 0.3
    begin=$(date +%s.%N)
    kill -"$signal" $pid
    wait $pid
    rc=$?
    elapsed=$(echo "$(date +%s.%N) - $begin" | bc)
    [ "$rc" = $((128 + $(kill -l "$signal"))) ] || fail "status $rc after SIG$signal"
    (($(echo "$elapsed < 20" | bc))) || fail "still running ${elapsed}s after SIG$signal"
    lines=$(wc -l <big.rdns)
    { [ "$lines" = 3000 ] || [ "$lines" = 3001 ]; } || fail "$lines lines after SIG$signal"
    [ "$(sed -n 3000p big.rdns | tr -d '\r')" = "host-1.hm.test line 3000" ] || fail "line 3000"
    [ "$(tail -c 2 big.rdns | od -An -c | tr -d ' ')" = '\r\n' ] || fail "ends inside a line"
done

if [ $failures -ne 0 ]; then
    exit 1
fi
echo PASS
