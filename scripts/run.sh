#!/usr/bin/env bash
# Installs what is missing, builds Hostmoor and starts it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh build run
cmake -S . -B build >/dev/null
cmake --build build -j "$(nproc)" --target hostmoor
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
    echo "Hostmoor is a desktop program and there is no display here (DISPLAY is not set)." >&2
    echo "Run it from a desktop session, or start a virtual one: xvfb-run scripts/run.sh" >&2
    exit 1
fi
exec build/app/hostmoor
