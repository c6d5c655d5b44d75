#!/usr/bin/env bash
# Installs every Debian package that building, testing and the VM test bed need.
# Idempotent: packages already present are left alone.
set -euo pipefail

packages=(
  build-essential cmake pkg-config clang llvm bpftool
  libbpf-dev libblkid-dev libdevmapper-dev libcap-dev libcli11-dev libelf-dev libtomlplusplus-dev
  zlib1g-dev
  libgtest-dev googletest libbenchmark-dev libclang-rt-14-dev
  e2fsprogs xfsprogs fdisk dmsetup util-linux libcap2-bin sg3-utils
  qemu-system-x86 busybox-static kmod cpio xz-utils zstd
  dpkg-dev debootstrap systemd
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
