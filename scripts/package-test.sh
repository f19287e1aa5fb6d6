#!/usr/bin/env bash
# Builds the package, installs it with dpkg -i into a fresh Debian 12 root made by debootstrap
# (apt brings the libraries it depends on), and there runs both programs (the window one
# offscreen), validates the desktop entry and the metainfo, and rewrites a line. Needs root
# and Debian's package mirror; takes some minutes, so it is run on demand, not by test.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh package-test
deb=$(scripts/package.sh | tail -n 1)
root=$(mktemp -d /tmp/hostmoor-root.XXXXXX)
cleanup() {
    umount "$root/proc" 2>/dev/null || true
    rm -rf "$root"
}
trap cleanup EXIT
# The mirror is the one this machine's own apt sources name for bookworm's main component
# (deb822 or one-line form); without one, debootstrap chooses.
mirror=$(
    {
        awk 'BEGIN { RS = "" }
             /(^|\n)Suites:[^\n]*bookworm([ \n]|$)/ && /(^|\n)Types:[^\n]*deb([ \n]|$)/ {
                 if (match($0, /(^|\n)URIs: *[^ \n]+/)) { u = substr($0, RSTART, RLENGTH)
                     sub(/^\n?URIs: */, "", u); print u } }' /etc/apt/sources.list.d/*.sources
        awk '$1 == "deb" { for (i = 2; i <= NF; i++) if ($i !~ /^\[/) { if ($(i + 1) == "bookworm") print $i; break } }' \
            /etc/apt/sources.list /etc/apt/sources.list.d/*.list
    } 2>/dev/null | head -n 1 || true # a sources file that is not there is no mirror
)
echo "== a fresh Debian 12 root from ${mirror:-the mirror debootstrap chooses}"
debootstrap --variant=minbase bookworm "$root" ${mirror:+"$mirror"} >/dev/null
mount -t proc proc "$root/proc"
cp "$deb" "$root/tmp/"
in_root() { chroot "$root" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LC_ALL=C.UTF-8 "$@"; }
echo "== dpkg -i $(basename "$deb"), then apt brings what it depends on"
in_root dpkg -i "/tmp/$(basename "$deb")" >/dev/null 2>&1 || true
in_root apt-get update -qq
in_root env DEBIAN_FRONTEND=noninteractive apt-get install -f -y -qq >/dev/null
in_root dpkg -s hostmoor | grep -E '^(Status|Version|Depends):'
echo "== the programs"
in_root hostmoor-rdns --version
in_root env QT_QPA_PLATFORM=offscreen hostmoor --version
# The window program itself starts, runs until SIGTERM closes it, and saves its settings.
in_root env QT_QPA_PLATFORM=offscreen XDG_CONFIG_HOME=/tmp/settings \
    timeout -s TERM 10 hostmoor 2>/dev/null || [ $? = 124 ]
in_root grep -q '^ActiveTab=0$' /tmp/settings/Brightfold/Hostmoor.conf
echo "hostmoor ran offscreen and saved its settings at SIGTERM"
printf '203.0.113.9 - GET /\n' | in_root hostmoor-rdns --stats
echo "== the desktop entry and the metainfo"
in_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq desktop-file-utils appstream \
    >/dev/null
in_root desktop-file-validate /usr/share/applications/example.brightfold.Hostmoor.desktop
in_root appstreamcli validate --no-net /usr/share/metainfo/example.brightfold.Hostmoor.metainfo.xml
in_root dpkg -L hostmoor | grep -E 'bin/|\.desktop|metainfo|man1|scalable'
echo "The package installs and runs in a fresh Debian 12 root."
