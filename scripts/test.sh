#!/usr/bin/env bash
# Sets up and runs every test: unit tests (plain and under AddressSanitizer and
# UndefinedBehaviorSanitizer), the Debian package installed into a minimal Debian root,
# then the real-kernel scenarios in QEMU guests: all of them on Debian's x86_64 kernels,
# the core set (tests/vm/core-arm64.list) on its arm64 kernels with an arm64 cross build.
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

echo "== fuzzing, a short run of every target (scripts/fuzz.sh SECONDS runs them longer)"
bash scripts/fuzz.sh 20

echo "== Debian package"
bash tests/package/run.sh "$root/build"

echo "== arm64 cross build and package"
bash scripts/build-arm64.sh "$root/build-arm64"
(cd "$root/build-arm64" && cpack -G DEB >/dev/null)
deb=$(ls -1t "$root"/build-arm64/corvane_*.deb | head -n 1)
[ "$(dpkg-deb -f "$deb" Architecture)" = arm64 ] || {
  echo "error: $deb is not an arm64 package" >&2
  exit 1
}
echo "arm64 package: $deb"

# Both architectures run even when the first has failures, so that each is reported.
status=0
echo "== real-kernel scenarios (x86_64)"
CORVANE_BIN="$root/build/corvane" bash tests/vm/run --kernel all || status=1

echo "== real-kernel scenarios (arm64)"
mapfile -t arm64_core < <(sed 's/#.*//' tests/vm/core-arm64.list | awk 'NF { print $1 }')
CORVANE_BIN="$root/build-arm64/corvane" bash tests/vm/run --arch arm64 --kernel all "${arm64_core[@]}" ||
  status=1
exit "$status"
