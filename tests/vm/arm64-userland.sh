# The arm64 guest's programs (sourced by tests/vm/run): Debian's own arm64 packages,
# fetched with apt-get download and unpacked with dpkg -x into a cached tree, from which
# each program is copied into the guest with the shared libraries it needs and the arm64
# dynamic loader. Nothing is installed on the host, and nothing arm64 is run here.

# Packages holding the guest programs, and the run-time libraries of corvane itself.
ARM64_TOOL_PACKAGES=(busybox-static e2fsprogs xfsprogs fdisk dmsetup util-linux mount coreutils
  sg3-utils bpftool libbpf1 libblkid1 libdevmapper1.02.1 libcap2 libstdc++6 libelf1 zlib1g)

# Where the target's libraries live in an unpacked tree (and on a multiarch host).
ARM64_LIB_DIRS=(lib/aarch64-linux-gnu usr/lib/aarch64-linux-gnu lib usr/lib)

# The packages above and every library package they need, recursively (only lib*
# dependencies are followed: the programs need libraries, not their packages' scripts).
arm64_package_closure() {
  local -A seen=()
  local todo=("$@") next pkg
  while ((${#todo[@]})); do
    for pkg in "${todo[@]}"; do seen[$pkg]=1; done
    mapfile -t next < <(apt-cache depends --no-recommends --no-suggests --no-conflicts --no-breaks \
      --no-replaces --no-enhances "${todo[@]/%/:arm64}" 2>/dev/null |
      awk '/^ *\|?(Pre)?Depends: [^<]/ { sub(/:.*/, "", $2); if ($2 ~ /^lib/) print $2 }' | sort -u)
    todo=()
    for pkg in "${next[@]}"; do [[ -n ${seen[$pkg]:-} ]] || todo+=("$pkg"); done
  done
  printf '%s\n' "${!seen[@]}" | sort
}

# Unpacked arm64 packages, cached under CACHE_DIR/userland-arm64 and made again when the
# package list changes; prints the tree's path. Versions are those of the first download
# (delete the folder to take newer ones). Call with the cache locked.
arm64_userland() {
  local dir=$CACHE_DIR/userland-arm64 stamp packages deb
  stamp=$(echo "$BASE_FORMAT ${ARM64_TOOL_PACKAGES[*]}" | sha256sum | cut -d' ' -f1)
  if [[ $(cat "$dir/stamp" 2>/dev/null) != "$stamp" ]]; then
    log "fetching the arm64 guest programs"
    rm -rf "$dir"
    mkdir -p "$dir/debs" "$dir/root"
    mapfile -t packages < <(arm64_package_closure "${ARM64_TOOL_PACKAGES[@]}")
    ((${#packages[@]} > 1)) || { apt-get update -qq >&2 || true; mapfile -t packages < <(arm64_package_closure "${ARM64_TOOL_PACKAGES[@]}"); }
    (cd "$dir/debs" && apt-get download -qq "${packages[@]/%/:arm64}" >&2) ||
      die "cannot download the arm64 packages: ${packages[*]}"
    for deb in "$dir"/debs/*.deb; do dpkg -x "$deb" "$dir/root" || die "cannot unpack $deb"; done
    (cd "$dir/debs" && ls -1) >"$dir/packages"
    echo "$stamp" >"$dir/stamp"
  fi
  echo "$dir"
}

# Path of an arm64 shared library (soname) in the tree, else on the host (multiarch);
# prints "tree-or-/ relative-path" or nothing.
arm64_find_library() {
  local tree=$1 soname=$2 d
  for d in "${ARM64_LIB_DIRS[@]}"; do
    [[ -e $tree/$d/$soname ]] && { echo "$tree $d/$soname"; return; }
  done
  for d in "${ARM64_LIB_DIRS[@]}"; do
    [[ -e /$d/$soname ]] && { echo "/ $d/$soname"; return; }
  done
}

# Copies the shared libraries an arm64 ELF file needs (recursively) and its program
# interpreter into the guest root.
arm64_copy_libraries() {
  local root=$1 tree=$2 elf=$3 soname found base rel interp
  interp=$(readelf -lW "$elf" 2>/dev/null | sed -n 's/.*Requesting program interpreter: \(.*\)]/\1/p')
  if [[ -n $interp && ! -e $root$interp ]]; then
    mkdir -p "$root$(dirname "$interp")"
    if [[ -e $tree$interp ]]; then cp -L "$tree$interp" "$root$interp"; else cp -L "$interp" "$root$interp"; fi
  fi
  for soname in $(readelf -dW "$elf" 2>/dev/null | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'); do
    found=$(arm64_find_library "$tree" "$soname")
    [[ -n $found ]] || { log "note: arm64 library $soname (needed by $(basename "$elf")) not found"; continue; }
    read -r base rel <<<"$found"
    [[ -e $root/$rel ]] && continue
    mkdir -p "$root/$(dirname "$rel")"
    cp -L "$base/$rel" "$root/$rel"
    arm64_copy_libraries "$root" "$tree" "$root/$rel"
  done
}

# Copies a program of the tree (looked up by name in its bin and sbin folders) or an arm64
# program given by path into /usr/bin of the guest root, with its libraries.
arm64_copy_program() {
  local root=$1 tree=$2 program=$3 path= d
  if [[ $program == */* ]]; then
    path=$program
  else
    for d in usr/sbin usr/bin sbin bin; do
      [[ -e $tree/$d/$program ]] && { path=$tree/$d/$program; break; }
    done
  fi
  [[ -n $path ]] || { log "note: $program not in the arm64 packages, left out of the guest"; return 0; }
  mkdir -p "$root/usr/bin"
  cp -L "$path" "$root/usr/bin/$(basename "$program")"
  arm64_copy_libraries "$root" "$tree" "$path"
}

# Busybox, the guest programs with their libraries, and the files they read, from the
# arm64 packages. The applet list is the host busybox's (the same Debian version).
arm64_fill_base_root() {
  local root=$1 tree program
  tree=$(arm64_userland)/root
  cp "$tree/bin/busybox" "$root/bin/busybox"
  for program in "${GUEST_PROGRAMS[@]}"; do arm64_copy_program "$root" "$tree" "$program"; done
  [[ -f $tree/etc/mke2fs.conf ]] && cp "$tree/etc/mke2fs.conf" "$root/etc/"
  if [[ -f $tree/usr/libexec/coreutils/libstdbuf.so ]]; then
    mkdir -p "$root/usr/libexec/coreutils"
    cp "$tree/usr/libexec/coreutils/libstdbuf.so" "$root/usr/libexec/coreutils/"
    arm64_copy_libraries "$root" "$tree" "$tree/usr/libexec/coreutils/libstdbuf.so"
  fi
}
