#!/usr/bin/env bash
# Cross-builds corvane for AArch64 (arm64) on a Debian x86_64 machine into build-arm64/,
# or into the folder given; further arguments go to cmake (e.g. -DCMAKE_BUILD_TYPE=Debug).
#   scripts/build-arm64.sh [BUILD_DIR] [CMAKE_ARGS...]
# Needs the packages scripts/install-deps.sh installs (cross compilers, arm64 libraries
# through multiarch). The eBPF object's vmlinux.h comes from the BTF inside Debian's
# arm64 kernel image (linux-image-6.12-arm64, or CORVANE_ARM64_BTF_KERNEL=6.1), which is
# downloaded once into the test bed's cache (tests/vm/cache, or VM_CACHE_DIR).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build-arm64}"
shift || true

log() { echo "build-arm64: $*" >&2; }
die() {
  echo "build-arm64: error: $*" >&2
  exit 2
}
command -v aarch64-linux-gnu-g++ >/dev/null || die "aarch64-linux-gnu-g++ missing (scripts/install-deps.sh)"

CACHE_DIR=${VM_CACHE_DIR:-$root/tests/vm/cache}
. "$root/tests/vm/kernels.sh"
lock_cache
kdir=$(prepare_kernel "$(fetch_kernel_package "${CORVANE_ARM64_BTF_KERNEL:-6.12}" arm64)" arm64)
btf=$(arm64_kernel_btf "$kdir")
unlock_cache
log "kernel types from $btf"

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-aarch64-linux-gnu.cmake" \
  -DCORVANE_VMLINUX_BTF="$btf" -DCORVANE_TESTS=OFF "$@" >/dev/null
cmake --build "$build" -j"$(nproc)"
