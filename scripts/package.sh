#!/usr/bin/env bash
# Builds Hostmoor's Debian package (both programs, desktop entry, icons, metainfo, man pages)
# in build-package/ and prints its path. Install it with: sudo apt install ./THAT.deb
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh build package
cmake -S . -B build-package -DCMAKE_BUILD_TYPE=Release -DHOSTMOOR_TESTS=OFF >/dev/null
cmake --build build-package -j "$(nproc)"
(cd build-package && cpack -G DEB >/dev/null)
ls "$PWD"/build-package/package/hostmoor_*.deb
