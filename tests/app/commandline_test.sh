#!/usr/bin/env bash
# hostmoor answers --help and --version without a display, and refuses other arguments.
#   tests/app/commandline_test.sh BUILD/app/hostmoor VERSION
set -u
bin=$1
version=$2
failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}
run() { env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$bin" "$@"; }
[ "$(run --version)" = "hostmoor $version" ] || fail "--version: $(run --version 2>&1)"
[ "$(run -V)" = "hostmoor $version" ] || fail "-V"
run --help | head -n 1 | grep -qx 'Usage: hostmoor \[options\]' || fail "--help: $(run --help 2>&1)"
run --help | grep -q -- '--version' || fail "--help lists no --version"
run --nope >/dev/null 2>err
[ $? = 2 ] || fail "--nope: status not 2"
grep -q "Unknown option 'nope'" err || fail "--nope: $(cat err)"
[ $failures -eq 0 ] && echo PASS
exit $((failures != 0))
