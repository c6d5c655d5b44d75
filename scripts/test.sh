#!/usr/bin/env bash
# Sets up and runs every test: unit tests (plain and under AddressSanitizer and
# UndefinedBehaviorSanitizer), the Debian package installed into a minimal
# Debian root, then the real-kernel scenarios in QEMU guests.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"

bash scripts/install-deps.sh

echo "== unit tests"
bash scripts/build.sh "$root/build"
ctest --test-dir "$root/build" --output-on-failure

echo "== unit tests under ASan and UBSan"
bash scripts/build.sh "$root/build-asan" -DCORVANE_SANITIZE=ON
ASAN_OPTIONS=halt_on_error=1:detect_leaks=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
  ctest --test-dir "$root/build-asan" --output-on-failure

echo "== Debian package"
bash tests/package/run.sh "$root/build"

echo "== real-kernel scenarios"
CORVANE_BIN="$root/build/corvane" bash tests/vm/run --kernel all
