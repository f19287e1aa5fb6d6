#!/usr/bin/env bash
# Renders data/icons/hostmoor.svg to the PNG icons data/icons/NxN/example.brightfold.Hostmoor.png.
#   scripts/make-icons.sh
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh icons

svg=data/icons/hostmoor.svg
for size in 16 22 24 32 48 64 128 256; do
    out=data/icons/${size}x${size}/example.brightfold.Hostmoor.png
    mkdir -p "$(dirname "$out")"
    rsvg-convert --width "$size" --height "$size" --output "$out" "$svg"
    echo "make-icons: $out"
done
