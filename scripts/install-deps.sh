#!/usr/bin/env bash
# Installs the Debian packages of the given uses (see packages.txt) that are missing.
#   scripts/install-deps.sh build test
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)

wanted=()
for use in "$@"; do
    line=$(grep -E "^${use}:" "$here/packages.txt" || true)
    if [ -z "$line" ]; then
        echo "install-deps: unknown use '$use'" >&2
        exit 2
    fi
    read -r -a pkgs <<<"${line#*:}"
    wanted+=("${pkgs[@]}")
done

missing=()
for p in "${wanted[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
if [ "$(id -u)" -ne 0 ]; then
    sudo="sudo"
fi
echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
