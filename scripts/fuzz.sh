#!/usr/bin/env bash
# Builds every libFuzzer target (tests/fuzz/fuzz_*.cpp) with clang, ASan and
# UBSan in build-fuzz, then runs each for a while on its seed corpus and what
# earlier runs found. Exits non-zero when any target finds a crash, a leak, a
# timeout or broken property; the input that shows it is kept in
# build-fuzz/fuzz-findings/<target>/.
# Usage: scripts/fuzz.sh [seconds per target, default 30] [target...]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
seconds=${1:-30}
shift $(($# > 0 ? 1 : 0))
build="$root/build-fuzz"

if (($# > 0)); then
  targets=("$@")
else
  mapfile -t targets < <(cd "$root/tests/fuzz" && ls fuzz_*.cpp | sed 's/\.cpp$//')
fi

CC=clang CXX=clang++ cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCORVANE_FUZZ=ON -DCORVANE_TESTS=OFF >/dev/null
cmake --build "$build" --target "${targets[@]}" -j2

failed=()
for target in "${targets[@]}"; do
  seeds="$build/tests/fuzz/corpus/$target"
  found="$build/fuzz-corpus/$target"     # inputs this and earlier runs added
  findings="$build/fuzz-findings/$target" # inputs that broke something
  mkdir -p "$seeds" "$found" "$findings"
  echo "== $target: ${seconds}s"
  if ! "$build/tests/fuzz/$target" -max_total_time="$seconds" -print_final_stats=1 \
    -timeout=10 -rss_limit_mb=2048 -artifact_prefix="$findings/" "$found" "$seeds" \
    2>"$build/fuzz-$target.log"; then
    failed+=("$target")
  fi
  grep -E "DONE|^stat::number_of_executed_units|^stat::peak_rss_mb|ERROR|SUMMARY" \
    "$build/fuzz-$target.log" || true
done

if ((${#failed[@]})); then
  echo "findings in: ${failed[*]} (logs: $build/fuzz-<target>.log)" >&2
  exit 1
fi
echo "no findings"
