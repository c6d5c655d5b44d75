#!/usr/bin/env bash
# Builds the Debian package of corvane (CPack, DEB generator) in build-package/
# (or the folder given) and prints its path on the last line:
#   bash scripts/package.sh            # -> build-package/corvane_<version>_<arch>.deb
# Install it with: apt-get install ./build-package/corvane_*.deb
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build-package}"
jobs=$(($(nproc) < 2 ? $(nproc) : 2))

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCORVANE_TESTS=OFF >/dev/null
cmake --build "$build" -j"$jobs" >/dev/null
(cd "$build" && cpack -G DEB >/dev/null)
ls -1t "$build"/corvane_*.deb | head -n 1
