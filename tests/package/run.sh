#!/usr/bin/env bash
# The Debian package as an operator meets it: builds it (scripts/package.sh),
# installs it with apt into a minimal Debian 12 root made by debootstrap (so
# that its dependencies resolve from the archive), runs `corvane --version`,
# `corvane --check-config` and `corvane check` there, checks the installed
# files, then removes the package (configuration kept) and purges it
# (configuration gone). Before that, verifies the systemd unit and prints its
# exposure figure.
#
#   tests/package/run.sh [BUILD_DIR]      # default: build/ of the repository
#
# Needs root. The minimal root and the downloaded packages are cached in
# BUILD_DIR/package-test-cache between runs (DEBIAN_MIRROR picks the archive).
# Skips, with a line saying so, when the archive cannot be reached.
set -euo pipefail
root_dir="$(cd "$(dirname "$0")/../.." && pwd)"
build="${1:-$root_dir/build}"
cache="$build/package-test-cache"
target="$build/package-test-root"
mirror="${DEBIAN_MIRROR:-http://deb.debian.org/debian}"
suite=bookworm
started=$SECONDS

say() { echo "package: $*"; }
fail() {
  echo "package: FAIL: $*" >&2
  exit 1
}
elapsed() { echo "$((SECONDS - $1)) s"; }

if ((EUID != 0)); then
  say "SKIP: needs root (debootstrap, chroot)"
  exit 0
fi
for tool in debootstrap dpkg-deb systemd-analyze; do
  command -v "$tool" >/dev/null || fail "$tool is missing: run scripts/install-deps.sh"
done

# --- the chroot's mounts: taken down before anything under it is removed -------
mounted=()
unmount_all() {
  local i
  for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do
    umount "${mounted[i]}" 2>/dev/null || umount -l "${mounted[i]}" 2>/dev/null || true
  done
  mounted=()
}
unit_root=
remove_target() {
  unmount_all
  [[ -z $unit_root ]] || rm -rf "$unit_root"
  if [[ -d $target ]]; then
    for m in var/cache/apt/archives dev sys proc; do # left by an interrupted run
      mountpoint -q "$target/$m" && umount "$target/$m"
      mountpoint -q "$target/$m" && fail "$target/$m is still mounted; not removing $target"
    done
    rm -rf --one-file-system "$target"
  fi
}
trap remove_target EXIT
bind() {
  mkdir -p "$2"
  mount --bind "$1" "$2"
  mounted+=("$2")
}
in_root() { chroot "$target" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LC_ALL=C.UTF-8 "$@"; }

# --- the package --------------------------------------------------------------------
t=$SECONDS
mkdir -p "$cache"
bash "$root_dir/scripts/package.sh" "$build-package" >"$cache/package.log" 2>&1 ||
  fail "scripts/package.sh failed: $(tail -n 5 "$cache/package.log")"
deb=$(tail -n 1 "$cache/package.log")
[[ -f $deb ]] || fail "scripts/package.sh made no package"
say "built $(basename "$deb") ($(du -k "$deb" | cut -f1) KiB) in $(elapsed "$t")"

# --- the unit: verified against the package's files and systemd's own units ---------
# (before the minimal root, so that it is checked also where the archive is out of reach)
unit_root=$(mktemp -d)
dpkg-deb -x "$deb" "$unit_root"
mkdir -p "$unit_root/bin"
cp /lib/systemd/system/*.target "$unit_root/lib/systemd/system/"
cp /bin/kill "$unit_root/bin/"
verify=$(systemd-analyze verify --man=no --root="$unit_root" corvane.service 2>&1) ||
  fail "systemd-analyze verify: $verify"
[[ -z $verify ]] || fail "systemd-analyze verify: $verify"
exposure=$(systemd-analyze security --offline=yes --root="$unit_root" \
  "$unit_root/lib/systemd/system/corvane.service" 2>&1 | grep 'Overall exposure level')
rm -rf "$unit_root"
unit_root=
say "systemd-analyze verify: clean; security: ${exposure#→ }"

# --- a minimal Debian 12 root, made once -------------------------------------------------
mkdir -p "$cache/archives"
remove_target
if [[ ! -f $cache/minbase.tar ]]; then
  host=${mirror#*://}
  host=${host%%/*}
  if ! timeout 15 bash -c "exec 3<>/dev/tcp/$host/80" 2>/dev/null; then
    say "SKIP: the Debian archive ($mirror) cannot be reached, so no minimal root can be made"
    exit 0
  fi
  t=$SECONDS
  mkdir -p "$target"
  if ! debootstrap --variant=minbase --cache-dir="$cache/archives" "$suite" "$target" "$mirror" \
    >"$cache/debootstrap.log" 2>&1; then
    if grep -qiE 'Failed getting release file|Couldn.t download|Temporary failure|Could not resolve' \
      "$cache/debootstrap.log"; then
      say "SKIP: debootstrap cannot reach $mirror (see $cache/debootstrap.log)"
      exit 0
    fi
    fail "debootstrap failed, see $cache/debootstrap.log"
  fi
  tar -C "$target" -cf "$cache/minbase.tar.part" . && mv "$cache/minbase.tar.part" "$cache/minbase.tar"
  say "debootstrap (minbase, $suite) in $(elapsed "$t"), cached in $cache/minbase.tar"
  remove_target
fi
t=$SECONDS
mkdir -p "$target"
tar -C "$target" -xf "$cache/minbase.tar"
say "fresh minimal root unpacked in $(elapsed "$t")"

# --- install with apt ---------------------------------------------------------------
bind /proc "$target/proc"
bind /sys "$target/sys"
bind /dev "$target/dev"
bind "$cache/archives" "$target/var/cache/apt/archives"
cp /etc/resolv.conf "$target/etc/resolv.conf" 2>/dev/null || true
cp "$deb" "$target/tmp/corvane.deb"
t=$SECONDS
if ! in_root apt-get update -qq >"$cache/apt.log" 2>&1; then
  grep -qiE 'Temporary failure|Could not resolve|Failed to fetch' "$cache/apt.log" &&
    { say "SKIP: apt in the minimal root cannot reach $mirror (see $cache/apt.log)"; exit 0; }
  fail "apt-get update failed, see $cache/apt.log"
fi
in_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends \
  /tmp/corvane.deb >>"$cache/apt.log" 2>&1 || fail "apt-get install failed, see $cache/apt.log"
say "installed with apt (dependencies from the archive) in $(elapsed "$t"):" \
  "$(grep -c '^Setting up' "$cache/apt.log") packages set up"

# --- what an operator runs ------------------------------------------------------------------
version=$(in_root corvane --version) || fail "corvane --version failed"
[[ $version == "corvane $(dpkg-deb -f "$deb" Version)" ]] || fail "corvane --version said: $version"
say "corvane --version: $version"

in_root corvane --check-config >"$cache/check-config.out" 2>&1 ||
  fail "the shipped configuration is refused: $(cat "$cache/check-config.out")"
grep -qx 'configuration valid: /etc/corvane/corvane.conf' "$cache/check-config.out" ||
  fail "corvane --check-config said: $(head -n 1 "$cache/check-config.out")"
say "corvane --check-config: $(head -n 1 "$cache/check-config.out")"

status=0
in_root corvane check >"$cache/check.out" 2>&1 || status=$?
sed 's/^/  | /' "$cache/check.out"
last=$(tail -n 1 "$cache/check.out")
if ((status == 0)); then
  [[ $last == "ready: monitoring can work here" ]] || fail "corvane check passed but said: $last"
else
  ((status == 1)) || fail "corvane check ended with status $status"
  [[ $last == "not ready: missing "* ]] || fail "corvane check failed without saying why: $last"
fi
say "corvane check: status $status, $last"

for f in /usr/sbin/corvane /lib/systemd/system/corvane.service /etc/corvane/corvane.conf \
  /usr/share/man/man8/corvane.8.gz /usr/share/man/man5/corvane.conf.5.gz; do
  [[ -f $target$f ]] || fail "$f is not installed"
done
[[ -d $target/etc/corvane/conf.d ]] || fail "/etc/corvane/conf.d is not installed"
[[ -x $target/bin/kill ]] || fail "/bin/kill, which the unit's reload uses, is not installed"
grep -qx /etc/corvane/corvane.conf "$target/var/lib/dpkg/info/corvane.conffiles" ||
  fail "/etc/corvane/corvane.conf is no conffile"
say "files in place; /etc/corvane/corvane.conf is a conffile"

# --- remove, then purge ------------------------------------------------------------------------
in_root dpkg -r corvane >>"$cache/apt.log" 2>&1 || fail "dpkg -r corvane failed"
[[ ! -e $target/usr/sbin/corvane && ! -e $target/lib/systemd/system/corvane.service ]] ||
  fail "dpkg -r left the program or the unit"
[[ -f $target/etc/corvane/corvane.conf ]] || fail "dpkg -r removed the configuration"
in_root dpkg-query -W -f='${Status}\n' corvane | grep -qx 'deinstall ok config-files' ||
  fail "after dpkg -r: $(in_root dpkg-query -W -f='${Status}' corvane)"
in_root dpkg -P corvane >>"$cache/apt.log" 2>&1 || fail "dpkg -P corvane failed"
[[ ! -e $target/etc/corvane ]] || fail "dpkg -P left /etc/corvane"
! in_root dpkg-query -W corvane >/dev/null 2>&1 || fail "dpkg -P left corvane known to dpkg"
say "dpkg -r kept /etc/corvane/corvane.conf; dpkg -P removed /etc/corvane"

say "PASS in $(elapsed "$started")"
