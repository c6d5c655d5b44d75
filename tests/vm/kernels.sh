# Debian kernel packages for the test bed and the arm64 cross build (sourced by
# tests/vm/run and scripts/build-arm64.sh, which define log and die and set CACHE_DIR).
#
# A kernel is named by its short version (6.1, 6.12) and an architecture (x86_64,
# arm64); the package is the one Debian's meta-package for that pair depends on, or
# VM_KERNEL_PKG_<version> (x86_64) / VM_KERNEL_PKG_ARM64_<version> (arm64) when set.

# Debian's name of an architecture.
debian_arch() {
  case $1 in
  x86_64) echo amd64 ;;
  arm64) echo arm64 ;;
  *) die "unknown architecture '$1' (use x86_64 or arm64)" ;;
  esac
}

# Package name as apt is asked for it: the host's architecture needs no qualifier.
apt_package() {
  local pkg=$1 arch=$2
  if [[ $arch == "$(dpkg --print-architecture)" ]]; then echo "$pkg"; else echo "$pkg:$arch"; fi
}

# Name of the kernel image package behind a short version and architecture.
kernel_package_name() {
  local short=$1 arch dpkg_arch override meta
  arch=${2:-x86_64}
  dpkg_arch=$(debian_arch "$arch")
  if [[ $arch == x86_64 ]]; then override=VM_KERNEL_PKG_${short//./_}; else override=VM_KERNEL_PKG_ARM64_${short//./_}; fi
  if [[ -n ${!override:-} ]]; then
    echo "${!override}"
    return
  fi
  case $short in
  6.1) meta=linux-image-$dpkg_arch ;;
  6.12) meta=linux-image-6.12-$dpkg_arch ;;
  *) die "unknown kernel '$short' (use 6.1, 6.12 or all)" ;;
  esac
  apt-cache depends --no-recommends --no-suggests "$(apt_package "$meta" "$dpkg_arch")" 2>/dev/null |
    awk '/Depends: linux-image-/ { sub(/:.*/, "", $2); print $2; exit }'
}

# Newest cached package file for a short version, used when the archive cannot be asked.
cached_package_file() {
  local short=$1 dpkg_arch pattern
  dpkg_arch=$(debian_arch "${2:-x86_64}")
  case $short in
  6.1) pattern="linux-image-6.1.0-*-${dpkg_arch}_*.deb" ;;
  6.12) pattern="linux-image-6.12.*+deb12-${dpkg_arch}_*.deb" ;;
  esac
  (cd "$CACHE_DIR" && ls -1 $pattern 2>/dev/null | sort -V | tail -n 1)
}

# Downloads the package into the cache; prints its file name.
download_kernel_package() {
  local pkg=$1 dpkg_arch=$2
  log "downloading $pkg ($dpkg_arch)"
  (cd "$CACHE_DIR" && apt-get download -q "$(apt_package "$pkg" "$dpkg_arch")" >&2) || return 1
  (cd "$CACHE_DIR" && ls -1 "${pkg}"_*_"$dpkg_arch".deb 2>/dev/null | tail -n 1)
}

# Prints the path of the cached package file, downloading it first when needed.
fetch_kernel_package() {
  local short=$1 arch=${2:-x86_64} dpkg_arch pkg file=
  dpkg_arch=$(debian_arch "$arch")
  mkdir -p "$CACHE_DIR"
  pkg=$(kernel_package_name "$short" "$arch") || pkg=
  if [[ -n $pkg ]]; then
    file=$(cd "$CACHE_DIR" && ls -1 "${pkg}"_*_"$dpkg_arch".deb 2>/dev/null | tail -n 1) || file=
    [[ -n $file ]] || file=$(download_kernel_package "$pkg" "$dpkg_arch") || file=
  fi
  if [[ -z $file ]]; then
    # Package lists missing or out of date (a fresh machine, a newer kernel ABI in the
    # archive): refresh them once and ask again.
    log "refreshing the package lists"
    apt-get update -qq >&2 || true
    pkg=$(kernel_package_name "$short" "$arch") || pkg=
    [[ -z $pkg ]] || file=$(download_kernel_package "$pkg" "$dpkg_arch") || file=
  fi
  if [[ -z $file ]]; then
    file=$(cached_package_file "$short" "$arch") || file=
    [[ -z $file ]] || log "using the cached $file"
  fi
  [[ -n $file ]] || die "no $arch kernel package for $short (the archive gave none, the cache is empty)"
  echo "$CACHE_DIR/$file"
}

# Writes the uncompressed ELF kernel held in a bzImage: finds the payload's compression
# magic (xz or zstd in Debian's images) and decompresses from there.
extract_vmlinux() {
  local image=$1 output=$2 offset
  for offset in $(LC_ALL=C grep -obUaP '\xFD7zXZ\x00|\x28\xB5\x2F\xFD' "$image" | cut -d: -f1); do
    tail -c +$((offset + 1)) "$image" | xz -dc 2>/dev/null >"$output.tmp" ||
      tail -c +$((offset + 1)) "$image" | zstd -dcq 2>/dev/null >"$output.tmp" || true
    if [[ $(head -c 4 "$output.tmp" | od -An -c | tr -d ' ') == '177ELF' ]]; then
      mv "$output.tmp" "$output"
      return 0
    fi
  done
  rm -f "$output.tmp"
  return 1
}

# Writes the arm64 boot image (an "Image", which QEMU loads directly): Debian ships it
# uncompressed; a gzip-compressed one is unpacked.
extract_arm64_image() {
  local image=$1 output=$2
  if [[ $(head -c 2 "$image" | od -An -tx1 | tr -d ' ') == 1f8b ]]; then
    gzip -dc "$image" >"$output.tmp" || return 1
  else
    cp "$image" "$output.tmp"
  fi
  # The arm64 boot header carries "ARM\x64" at byte 56.
  [[ $(tail -c +57 "$output.tmp" | head -c 4 | od -An -tx1 | tr -d ' ') == 41524d64 ]] || {
    rm -f "$output.tmp"
    return 1
  }
  mv "$output.tmp" "$output"
}

# Writes the kernel's own type information (raw BTF, as /sys/kernel/btf/vmlinux shows it)
# found in a kernel image: the kernel keeps its .BTF section in the loaded image. Every
# BTF header (magic 0xeb9f, version 1, flags 0, header length 24) is tried; the first
# blob that bpftool reads and that has the type named by want_type is kept.
extract_btf() {
  local image=$1 output=$2 want_type=$3 offset hdr_len type_off type_len str_off str_len size
  for offset in $(LC_ALL=C grep -obUaP '\x9f\xeb\x01\x00\x18\x00\x00\x00' "$image" | cut -d: -f1); do
    read -r hdr_len type_off type_len str_off str_len < <(od -An -tu4 -w20 -j $((offset + 4)) -N 20 "$image")
    size=$((hdr_len + str_off + str_len))
    ((type_off + type_len <= str_off && size > hdr_len)) || continue
    tail -c +$((offset + 1)) "$image" | head -c "$size" >"$output.tmp"
    # grep reads all (no -q): bpftool must not die of a closed pipe under pipefail.
    if [[ $(bpftool btf dump file "$output.tmp" format raw 2>/dev/null | grep -c "^\[[0-9]*\] STRUCT '$want_type' ") -gt 0 ]]; then
      mv "$output.tmp" "$output"
      return 0
    fi
  done
  rm -f "$output.tmp"
  return 1
}

# Unpacks the package once into cache/<package>/ and prepares the boot image (vmlinux, the
# ELF kernel, on x86_64; Image on arm64) and modules.dep. Prints the folder.
prepare_kernel() {
  local deb=$1 arch=${2:-x86_64} pkg dir release
  pkg=$(basename "$deb")
  pkg=${pkg%%_*}
  dir=$CACHE_DIR/$pkg
  if [[ ! -f $dir/.unpacked ]]; then
    log "unpacking $pkg"
    rm -rf "$dir"
    mkdir -p "$dir/root"
    dpkg -x "$deb" "$dir/root" || die "cannot unpack $deb"
    release=$(ls "$dir/root/lib/modules")
    depmod -b "$dir/root" "$release" || die "depmod failed for $release"
    case $arch in
    x86_64) extract_vmlinux "$dir/root/boot/vmlinuz-$release" "$dir/vmlinux" ||
      die "cannot extract the ELF kernel of $pkg" ;;
    arm64) extract_arm64_image "$dir/root/boot/vmlinuz-$release" "$dir/Image" ||
      die "cannot extract the arm64 Image of $pkg" ;;
    esac
    echo "$release" >"$dir/release"
    touch "$dir/.unpacked"
  fi
  echo "$dir"
}

# The kernel's boot image in a prepared folder.
kernel_image() {
  case ${2:-x86_64} in
  x86_64) echo "$1/vmlinux" ;;
  arm64) echo "$1/Image" ;;
  esac
}

# Raw BTF of a prepared arm64 kernel (cached beside it); prints its path.
arm64_kernel_btf() {
  local dir=$1
  if [[ ! -s $dir/vmlinux.btf ]]; then
    extract_btf "$dir/Image" "$dir/vmlinux.btf" user_pt_regs ||
      die "no arm64 BTF found in $dir/Image"
  fi
  echo "$dir/vmlinux.btf"
}

# Serialises preparations in one cache (fd 8), so that parallel runs and builds never see
# half-built files. Not re-entrant.
lock_cache() {
  mkdir -p "$CACHE_DIR"
  exec 8>"$CACHE_DIR/.lock"
  flock 8
}
unlock_cache() { flock -u 8; }
