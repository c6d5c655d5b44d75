#!/usr/bin/env bash
# Installs every Debian package that building, testing and the VM test bed need.
# Idempotent: packages already present are left alone.
set -euo pipefail

packages=(
  build-essential cmake pkg-config clang llvm bpftool
  libbpf-dev libblkid-dev libdevmapper-dev libcap-dev libcli11-dev libelf-dev zlib1g-dev
  libtomlplusplus-dev
  libsystemd-dev nlohmann-json3-dev
  libgtest-dev googletest libbenchmark-dev libclang-rt-14-dev python3-jsonschema
  e2fsprogs xfsprogs fdisk dmsetup util-linux libcap2-bin sg3-utils
  qemu-system-x86 busybox-static kmod cpio xz-utils zstd
  dpkg-dev debootstrap systemd
  # arm64: cross build (multiarch libraries) and the arm64 test bed
  gcc-aarch64-linux-gnu g++-aarch64-linux-gnu
  libbpf-dev:arm64 libblkid-dev:arm64 libdevmapper-dev:arm64 libcap-dev:arm64 libelf-dev:arm64
  zlib1g-dev:arm64 libsystemd-dev:arm64 libtomlplusplus-dev:arm64
  qemu-system-arm
)

# The arm64 packages come through multiarch.
if ! dpkg --print-foreign-architectures | grep -qx arm64; then
  dpkg --add-architecture arm64
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
