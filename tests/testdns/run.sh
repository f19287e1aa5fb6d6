#!/usr/bin/env bash
# Runs a command against a private DNS server: a new mount and network namespace, dnsmasq on
# 127.0.0.1:53 serving zone.conf, and a resolv.conf, hosts and nsswitch.conf of our own
# bind-mounted over the system's. The command sees HOSTMOOR_TESTDNS=1.
#
#   tests/testdns/run.sh COMMAND [ARG...]
#
# Extra dnsmasq settings may be given in the file named by HOSTMOOR_TESTDNS_EXTRA, the
# resolver's time-out in seconds in HOSTMOOR_TESTDNS_TIMEOUT (1 unless set), and another port
# for dnsmasq in HOSTMOOR_TESTDNS_PORT (for a relay of one's own on port 53). Where the
# namespace cannot be made, the command runs as it is with HOSTMOOR_TESTDNS_SKIP saying why.
set -u
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

if [ $# -eq 0 ]; then
    echo "usage: $0 COMMAND [ARG...]" >&2
    exit 2
fi

if [ "${HOSTMOOR_TESTDNS_INSIDE:-}" != 1 ]; then
    if [ "$(id -u)" -ne 0 ]; then
        reason="the test DNS environment needs root (unshare -mn)"
    elif ! command -v dnsmasq >/dev/null 2>&1 && [ ! -x /usr/sbin/dnsmasq ]; then
        reason="dnsmasq is not installed"
    elif ! unshare -mn true 2>/dev/null; then
        reason="unshare -mn is not permitted here"
    else
        HOSTMOOR_TESTDNS_INSIDE=1 exec unshare -mn "$0" "$@"
    fi
    export HOSTMOOR_TESTDNS_SKIP="$reason"
    unset HOSTMOOR_TESTDNS
    exec "$@"
fi

# Inside the namespace.
unset HOSTMOOR_TESTDNS_INSIDE
PATH="$PATH:/usr/sbin:/sbin"
ip link set lo up || exit 1
dir=$(mktemp -d /tmp/hostmoor-testdns.XXXXXX) || exit 1
chmod 755 "$dir"
sed "s/^port=53\$/port=${HOSTMOOR_TESTDNS_PORT:-53}/" "$here/zone.conf" >"$dir/dnsmasq.conf"
if [ -n "${HOSTMOOR_TESTDNS_EXTRA:-}" ]; then
    cat "$HOSTMOOR_TESTDNS_EXTRA" >>"$dir/dnsmasq.conf"
fi
printf "nameserver 127.0.0.1\noptions timeout:%s attempts:1\n" "${HOSTMOOR_TESTDNS_TIMEOUT:-1}" \
    >"$dir/resolv.conf"
: >"$dir/hosts"
echo "hosts: files dns" >"$dir/nsswitch.conf"

if ! dnsmasq --conf-file="$dir/dnsmasq.conf" --pid-file="$dir/dnsmasq.pid" --user=root; then
    echo "testdns: dnsmasq did not start" >&2
    rm -rf "$dir"
    exit 1
fi
if [ -e /etc/resolv.conf ] && [ -e /etc/hosts ] && [ -e /etc/nsswitch.conf ]; then
    mount --bind "$dir/resolv.conf" /etc/resolv.conf &&
        mount --bind "$dir/hosts" /etc/hosts &&
        mount --bind "$dir/nsswitch.conf" /etc/nsswitch.conf
else
    # A file to cover is missing (a minimal system): cover all of /etc with a copy instead.
    mkdir "$dir/etc" && cp -a /etc/. "$dir/etc/" 2>/dev/null
    for f in resolv.conf hosts nsswitch.conf; do
        rm -f "$dir/etc/$f" && cp "$dir/$f" "$dir/etc/$f"
    done
    mount --bind "$dir/etc" /etc
fi || {
    kill "$(cat "$dir/dnsmasq.pid")"
    exit 1
}

HOSTMOOR_TESTDNS=1 "$@"
rc=$?
kill "$(cat "$dir/dnsmasq.pid")" 2>/dev/null
rm -rf "$dir"
exit $rc
