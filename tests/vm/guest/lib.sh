# Helpers shared by the guest scenarios (busybox sh). A scenario sources this file,
# builds its disks and devices, runs corvane and asserts on its output; it exits 0 to pass.
# Helpers that fail print "FAIL: <reason>" and end the scenario with status 1. Messages go
# to standard error, so that helpers whose result is printed (make_disk, dm_linear, ...) can
# be used as `disk=$(make_disk c0ffee01) || exit 1`.
# See tests/vm/README.md for the list.

export PATH=/usr/sbin:/usr/bin:/sbin:/bin
export DM_DISABLE_UDEV=1

BED_STATE=/run/bed
TARGET=/sys/kernel/config/target
CORVANE_OUT=${CORVANE_OUT:-/tmp/corvane.out}
mkdir -p "$BED_STATE"

# A SCSI disk takes an O_DIRECT write only from a buffer aligned to the kernel's DMA
# minimum alignment: 4 bytes on x86_64, 128 on arm64 (ARCH_DMA_MINALIGN). busybox dd, which
# the guest's shell runs for "dd", has a 16-byte aligned buffer and, when O_DIRECT is
# refused, quietly writes through the page cache instead. On arm64 "dd" is coreutils dd,
# whose buffers are page aligned, so that oflag=direct means the same on both.
BED_DD=
if [ "$(uname -m)" = aarch64 ] && [ -x /usr/bin/dd ]; then
  BED_DD=/usr/bin/dd
  dd() { "$BED_DD" "$@"; }
fi

# --- messages and assertions ---------------------------------------------------------------

log() { echo "bed: $*" >&2; }

fail() {
  {
    echo "FAIL: $*"
    if [ -s "$CORVANE_OUT" ]; then
      echo "--- corvane output (last 40 lines of $CORVANE_OUT) ---"
      tail -n 40 "$CORVANE_OUT"
      echo "---"
    fi
  } >&2
  exit 1
}

ok() { echo "ok: $*" >&2; }

# skip REASON: ends the scenario as skipped; the bed prints the reason beside its name.
skip() {
  echo "SKIP: $*" >&2
  exit 77
}

# Why this kernel cannot attach fentry/fexit programs to its functions; nothing when it
# can. A BPF trampoline is entered through ftrace's direct calls (register_ftrace_direct
# in kallsyms), which arm64 kernels have only from 6.4 on.
no_fentry_reason() {
  grep -qE ' register_ftrace_direct(_multi)?$' /proc/kallsyms ||
    echo "this kernel cannot attach fentry/fexit programs (no ftrace direct calls; arm64 has them from 6.4)"
}

# The attach mode corvane picks by itself on this kernel, as its "attach mode:" line says.
expected_attach_mode() {
  if [ -n "$(no_fentry_reason)" ]; then echo kprobe; else echo fentry/fexit; fi
}

# Runs a command, echoing it first; a non-zero status fails the scenario.
run() {
  echo "+ $*" >&2
  "$@" >&2 || fail "command failed (status $?): $*"
}

# expect_line TEXT [FILE]: FILE (default: corvane's output) has a line containing TEXT.
expect_line() {
  grep -qF -- "$1" "${2:-$CORVANE_OUT}" || fail "expected a line containing '$1' in ${2:-$CORVANE_OUT}"
  ok "line '$1'"
}

# expect_no_line TEXT [FILE]: no line of FILE (default: corvane's output) contains TEXT.
expect_no_line() {
  if grep -F -- "$1" "${2:-$CORVANE_OUT}" >/tmp/bed-unexpected 2>/dev/null; then
    { echo "unexpected:"; head -n 5 /tmp/bed-unexpected; } >&2
    fail "expected no line containing '$1' in ${2:-$CORVANE_OUT}"
  fi
  ok "no line '$1'"
}

# expect_regex ERE [FILE]: like expect_line with an extended regular expression.
expect_regex() {
  grep -qE -- "$1" "${2:-$CORVANE_OUT}" || fail "expected a line matching /$1/ in ${2:-$CORVANE_OUT}"
  ok "line /$1/"
}

# expect_equal WHAT ACTUAL EXPECTED
expect_equal() {
  [ "$2" = "$3" ] || fail "$1: got '$2', expected '$3'"
  ok "$1 = '$3'"
}

# count_lines TEXT [FILE]: number of lines containing TEXT.
count_lines() { grep -cF -- "$1" "${2:-$CORVANE_OUT}" 2>/dev/null || true; }

# bed_artifact FILE [NAME]: hands FILE to the host after the scenario, as
# out/<kernel>/artifacts/<scenario>/NAME, where tests/vm/host-checks/<scenario>.sh (if there
# is one) checks it with tools the guest lacks.
bed_artifact() {
  mkdir -p "/run/artifacts/$BED_SCENARIO" && cp "$1" "/run/artifacts/$BED_SCENARIO/${2:-${1##*/}}"
}

# --- small facts about devices --------------------------------------------------------------

# dev_majmin DEV: "major:minor" in decimal, as corvane prints device numbers.
dev_majmin() {
  local hex
  hex=$(stat -L -c '%t %T' "$1") || fail "cannot stat $1"
  set -- $hex
  echo "$((0x$1)):$((0x$2))"
}

# sysfs_dir DEV: the /sys/dev/block directory of a device node.
sysfs_dir() { echo "/sys/dev/block/$(dev_majmin "$1")"; }

# disk_wwid DEV: the SCSI disk's wwid as sysfs shows it ("naa.6001405...").
disk_wwid() { cat "/sys/block/$(basename "$1")/device/wwid"; }

# disk_wwid_hex DEV: the 16-byte NAA identifier of the disk as 32 lowercase hex digits,
# taken from the "naa." wwid (the form corvane prints).
disk_wwid_hex() { disk_wwid "$1" | sed -n 's/^naa\.\([0-9a-fA-F]\{32\}\)$/\1/p' | tr 'A-F' 'a-f'; }

# size_sectors DEV: size in 512-byte sectors.
size_sectors() { blockdev --getsz "$1"; }

# wait_for_node PATH [SECONDS]: waits until a device node exists.
wait_for_node() {
  local i=0 limit=$((${2:-10} * 10))
  while [ ! -b "$1" ]; do
    i=$((i + 1))
    [ $i -le $limit ] || fail "device node $1 did not appear"
    usleep 100000
  done
}

# next_id: a number never handed out before in this boot (names of backstores and targets
# stay unique even if a clean-up between scenarios left something behind).
next_id() {
  local n
  n=$(cat /run/bed-counter 2>/dev/null || echo 0)
  echo $((n + 1)) >/run/bed-counter
  echo "$n"
}

# --- SCSI disks from the kernel's LIO target (loopback fabric) -------------------------------

# Creates a loopback target port with LUN 0 on a backstore and prints the /dev/sdX that
# the SCSI layer makes for it.
add_loopback_port() {
  local backstore=$1 id wwn tpg address host target i dev
  id=$(next_id)
  wwn=naa.5001405e2e$(printf '%06x' "$id")
  tpg=$TARGET/loopback/$wwn/tpgt_1
  mkdir -p "$tpg/lun/lun_0" || fail "cannot create loopback target $wwn"
  echo "naa.5001405e2f$(printf '%06x' "$id")" >"$tpg/nexus" || fail "cannot create the nexus of $wwn"
  ln -s "$backstore" "$tpg/lun/lun_0/port" || fail "cannot link $backstore to $wwn"
  address=$(cat "$tpg/address")
  host=${address%%:*}
  target=${address##*:}
  i=0
  while :; do
    dev=$(ls "/sys/bus/scsi/devices/$host:0:$target:0/block" 2>/dev/null | head -n 1)
    [ -n "$dev" ] && [ -b "/dev/$dev" ] && break
    i=$((i + 1))
    [ $i -le 100 ] || fail "no SCSI disk appeared for $wwn (address $address)"
    usleep 100000
  done
  echo "$backstore" >"$BED_STATE/backstore.$dev"
  echo "$tpg" >"$BED_STATE/tpg.$dev"
  echo "/dev/$dev"
}

# make_disk SERIAL [SIZE_MB]: a new SCSI disk (sparse file backstore, default 256 MiB) whose
# unit serial is SERIAL; the kernel derives its 16-byte NAA wwid from the serial's hex
# digits, so serials with distinct hex digits give distinct wwids. BED_BLOCK_SIZE=4096
# makes a disk with 4096-byte logical blocks. Prints its /dev/sdX.
make_disk() {
  local serial=$1 size_mb=${2:-256} id backstore image
  id=$(next_id)
  backstore=$TARGET/core/fileio_$id/disk$id
  image=/tmp/bed-disk$id.img
  truncate -s "${size_mb}M" "$image" || fail "cannot create $image"
  mkdir -p "$backstore" || fail "cannot create backstore $backstore (is target_core_mod loaded?)"
  echo "fd_dev_name=$image,fd_dev_size=$((size_mb * 1048576))" >"$backstore/control" ||
    fail "cannot configure $backstore"
  echo "$serial" >"$backstore/wwn/vpd_unit_serial" || fail "cannot set serial $serial"
  echo 1 >"$backstore/enable" || fail "cannot enable $backstore"
  # BED_THIN=1: UNMAP and WRITE SAME with unmap (thin provisioning), punched into the image.
  if [ "${BED_THIN:-0}" = 1 ]; then
    echo 1 >"$backstore/attrib/emulate_tpu" || fail "cannot enable UNMAP on $backstore"
    echo 1 >"$backstore/attrib/emulate_tpws" || fail "cannot enable WRITE SAME on $backstore"
  fi
  # Enabling sets the block size from the backend; it may change until the LUN is exported.
  if [ -n "${BED_BLOCK_SIZE:-}" ]; then
    echo "$BED_BLOCK_SIZE" >"$backstore/attrib/block_size" || fail "cannot set block size $BED_BLOCK_SIZE"
  fi
  add_loopback_port "$backstore"
}

# add_path DEV: a second SCSI disk that is another path to DEV's LUN (same backstore, same
# wwid). Prints its /dev/sdY.
add_path() {
  local backstore
  backstore=$(cat "$BED_STATE/backstore.$(basename "$1")" 2>/dev/null) || fail "$1 was not made by make_disk"
  add_loopback_port "$backstore"
}

# remove_disk DEV: takes the LUN away from the SCSI disk DEV (its loopback port), as when a
# LUN is unmapped on the array; the kernel removes /dev/sdX.
remove_disk() {
  local tpg
  tpg=$(cat "$BED_STATE/tpg.$(basename "$1")" 2>/dev/null) || fail "$1 was not made by make_disk"
  rm -f "$tpg/lun/lun_0/port" || fail "cannot unlink the LUN of $1"
  local i=0
  while [ -b "$1" ] && [ $i -lt 100 ]; do usleep 100000; i=$((i + 1)); done
  [ ! -b "$1" ] || log "note: $1 is still there after its LUN was unlinked"
}

# --- partitions, file systems, device-mapper --------------------------------------------------

# partition DEV SIZE...: a GPT (or "dos" with BED_LABEL=dos) label with one partition per
# SIZE (sfdisk sizes such as 64M; "+" or "-" for the rest), waits for the partition nodes.
partition() {
  local dev=$1 n=0 size script
  shift
  script="label: ${BED_LABEL:-gpt}"
  for size in "$@"; do
    script="$script
,$([ "$size" = "-" ] || [ "$size" = "+" ] && echo "" || echo "$size")"
    n=$((n + 1))
  done
  echo "$script" | sfdisk -q "$dev" >/tmp/bed-sfdisk.log 2>&1 || { cat /tmp/bed-sfdisk.log >&2; fail "sfdisk failed on $dev"; }
  while [ $n -gt 0 ]; do
    wait_for_node "$(part_node "$dev" $n)"
    n=$((n - 1))
  done
}

# part_node DEV N: the node of partition N of DEV (/dev/sdb + 1 -> /dev/sdb1).
part_node() { echo "$1$2"; }

# part_start DEV: first sector of a partition, from sysfs.
part_start() { cat "$(sysfs_dir "$1")/start"; }

# hw_sector_size DEV: logical block size the disk reports.
hw_sector_size() { cat "/sys/block/$(basename "$1")/queue/hw_sector_size"; }

mkfs_ext4() { run mkfs.ext4 -q -F "$@"; }
# mkfs.xfs refuses file systems under 300 MiB: give xfs a disk of 512 MiB (sparse).
mkfs_xfs() { run mkfs.xfs -q -f "$@"; }

# dm_create NAME TABLE: a device-mapper device (no udev) with its /dev/mapper node; prints it.
dm_create() {
  dmsetup create "$1" --table "$2" >/tmp/bed-dm.log 2>&1 || { cat /tmp/bed-dm.log >&2; fail "dmsetup create $1 failed: $2"; }
  dmsetup mknodes "$1" >/dev/null 2>&1
  wait_for_node "/dev/mapper/$1" 5
  echo "/dev/mapper/$1"
}

# dm_linear NAME DEV...: a linear device concatenating whole devices in order; prints it.
dm_linear() {
  local name=$1 start=0 table="" dev size
  shift
  for dev in "$@"; do
    size=$(size_sectors "$dev")
    table="$table$start $size linear $(dev_majmin "$dev") 0
"
    start=$((start + size))
  done
  dm_create "$name" "$table"
}

# dm_multipath NAME DEV...: a multipath device, one round-robin path group over the given
# paths (all paths to one LUN); prints it.
dm_multipath() {
  local name=$1 paths="" dev n=0 size
  shift
  size=$(size_sectors "$1")
  for dev in "$@"; do
    paths="$paths $(dev_majmin "$dev") 1"
    n=$((n + 1))
  done
  dm_create "$name" "0 $size multipath 0 0 1 1 round-robin 0 $n 1$paths"
}

# md_create NAME LEVEL CHUNK_KIB SIZE_KIB DEV...: an md array /dev/NAME (NAME starts with
# "md_") built through md's sysfs files, the guest having no mdadm: no metadata (md writes
# nothing of its own to its members: no superblock, no bitmap), members in slot order
# from the first sector of each, SIZE_KIB used of each, taken as in sync (no resync).
# CHUNK_KIB is raid0's chunk (0 for raid1). Prints /dev/NAME.
md_create() {
  local name=$1 level=$2 chunk_kib=$3 size_kib=$4 dir slot=0 dev member
  shift 4
  [ -w /sys/module/md_mod/parameters/new_array ] || fail "md is not loaded"
  echo "$name" >/sys/module/md_mod/parameters/new_array || fail "cannot create md array $name"
  dir=/sys/block/$name/md
  md_set "$dir/metadata_version" none
  md_set "$dir/level" "$level"
  [ "$chunk_kib" = 0 ] || md_set "$dir/chunk_size" $((chunk_kib * 1024))
  md_set "$dir/raid_disks" $#
  md_set "$dir/component_size" "$size_kib"
  for dev in "$@"; do
    md_set "$dir/new_dev" "$(dev_majmin "$dev")"
    member=$dir/dev-$(basename "$(readlink -f "$(sysfs_dir "$dev")")")
    md_set "$member/slot" $slot
    md_set "$member/size" "$size_kib"
    slot=$((slot + 1))
  done
  md_set "$dir/resync_start" none
  md_set "$dir/array_state" active
  wait_for_node "/dev/$name" 5
  echo "/dev/$name"
}

md_set() { echo "$2" >"$1" 2>/dev/null || fail "md: cannot write '$2' to $1"; }

# md_stop DEV: stops the md array and frees it ("clear").
md_stop() { md_set "/sys/block/$(basename "$1")/md/array_state" clear; }

# page_size: the kernel's page size in bytes, the unit in which a block device's page
# cache is written back (4096 on x86_64, 4096 or 16384 on Debian's arm64 kernels).
page_size() { awk '/^KernelPageSize:/ { print $2 * 1024; exit }' /proc/self/smaps; }

# ext4_inode_table_block DEV: first block of group 0's inode table (file-system blocks).
ext4_inode_table_block() {
  dumpe2fs "$1" 2>/dev/null | sed -n 's/.*Inode table at \([0-9]*\)-.*/\1/p' | head -n 1
}

# ext4_block_size DEV
ext4_block_size() { dumpe2fs -h "$1" 2>/dev/null | sed -n 's/^Block size: *//p'; }

# ext4_last_inode_table_block DEV: first block of the last group's inode table.
ext4_last_inode_table_block() {
  dumpe2fs "$1" 2>/dev/null | sed -n 's/.*Inode table at \([0-9]*\)-.*/\1/p' | tail -n 1
}

# ext4_journal_block DEV N: the disk block that holds block N of the journal (inode 8),
# from debugfs.
ext4_journal_block() { debugfs -R "bmap <8> $2" "$1" 2>/dev/null | tail -n 1; }

# hex_bytes VALUE COUNT: VALUE as COUNT big-endian bytes in hex, space separated (for sg_raw).
hex_bytes() {
  local value=$1 count=$2 out="" i
  for i in $(seq $((count - 1)) -1 0); do
    out="$out $(printf '%02x' $(((value >> (i * 8)) & 255)))"
  done
  echo $out
}

# --- corvane ------------------------------------------------------------------------------

# start_corvane ARGS...: runs corvane in the background, output (stdout and stderr) to
# $CORVANE_OUT. With BED_LINEBUF=1 stdout is line-buffered through stdbuf. With BED_SHOW=1
# the output is also copied to the scenario's standard error as it comes (through a fifo
# and tee, so the file and the screen stay in step). With BED_SPLIT=1 standard error goes
# to $CORVANE_OUT.err instead.
start_corvane() {
  local wrapper=
  command -v corvane >/dev/null || fail "corvane binary not in the guest (did it build?)"
  : >"$CORVANE_OUT"
  echo "+ corvane $*" >&2
  if [ "${BED_LINEBUF:-0}" = 1 ] && command -v stdbuf >/dev/null; then
    wrapper="stdbuf -oL"
  fi
  if [ "${BED_SHOW:-0}" = 1 ]; then
    rm -f /tmp/bed-corvane.fifo
    mkfifo /tmp/bed-corvane.fifo || fail "cannot make a fifo"
    tee "$CORVANE_OUT" </tmp/bed-corvane.fifo >&2 &
    BED_TEE_PID=$!
    $wrapper corvane "$@" >/tmp/bed-corvane.fifo 2>&1 &
  elif [ "${BED_SPLIT:-0}" = 1 ]; then
    : >"$CORVANE_OUT.err"
    $wrapper corvane "$@" >>"$CORVANE_OUT" 2>>"$CORVANE_OUT.err" &
  else
    $wrapper corvane "$@" >>"$CORVANE_OUT" 2>&1 &
  fi
  CORVANE_PID=$!
  echo "$CORVANE_PID" >"$BED_STATE/corvane.pid"
}

# corvane_running: true while the corvane started last is alive.
corvane_running() { [ -n "${CORVANE_PID:-}" ] && kill -0 "$CORVANE_PID" 2>/dev/null; }

# wait_for_line TEXT [SECONDS]: waits until corvane's output has a line containing TEXT.
# Fails at the time limit, or at once when corvane ended without printing it.
wait_for_line() {
  local i=0 limit=$((${2:-30} * 5))
  while ! grep -qF -- "$1" "$CORVANE_OUT"; do
    if ! corvane_running; then
      grep -qF -- "$1" "$CORVANE_OUT" && break
      reap_corvane
      fail "corvane ended (status $CORVANE_STATUS) without printing '$1'"
    fi
    i=$((i + 1))
    [ $i -le $limit ] || fail "no line containing '$1' within ${2:-30}s"
    usleep 200000
  done
  ok "corvane printed '$1'"
}

# wait_for_any SECONDS TEXT...: waits until corvane printed one of the texts and prints
# that text; status 1 when none came within SECONDS or before corvane ended.
wait_for_any() {
  local i=0 limit=$(($1 * 5)) text
  shift
  while :; do
    for text in "$@"; do
      grep -qF -- "$text" "$CORVANE_OUT" && { echo "$text"; return 0; }
    done
    if ! corvane_running; then
      for text in "$@"; do
        grep -qF -- "$text" "$CORVANE_OUT" && { echo "$text"; return 0; }
      done
      return 1
    fi
    i=$((i + 1))
    [ $i -le $limit ] || return 1
    usleep 200000
  done
}

# reap_corvane: waits for the background corvane to end and sets CORVANE_STATUS to its exit
# status. Call it in the scenario's own shell (not inside $(...)), which is corvane's parent.
reap_corvane() {
  if [ -z "${CORVANE_PID:-}" ]; then
    CORVANE_STATUS=none
    return
  fi
  wait "$CORVANE_PID" 2>/dev/null
  CORVANE_STATUS=$?
  CORVANE_PID=
  # With BED_SHOW=1 the copying tee ends at the fifo's end of file; let it finish.
  if [ -n "${BED_TEE_PID:-}" ]; then
    wait "$BED_TEE_PID" 2>/dev/null
    BED_TEE_PID=
  fi
}

# stop_corvane: ends corvane with SIGTERM (SIGKILL after 10 s) and sets CORVANE_STATUS (0
# when it stopped cleanly, with its closing line).
stop_corvane() {
  local i=0
  [ -n "${CORVANE_PID:-}" ] || return 0
  kill -TERM "$CORVANE_PID" 2>/dev/null
  while corvane_running; do
    i=$((i + 1))
    if [ $i -eq 50 ]; then
      log "corvane ignored SIGTERM for 10s, killing it"
      kill -KILL "$CORVANE_PID" 2>/dev/null
    fi
    usleep 200000
  done
  reap_corvane
  log "corvane ended with status $CORVANE_STATUS"
}

# run_corvane SECONDS ARGS...: runs corvane in the foreground with a time limit, output to
# $CORVANE_OUT; sets CORVANE_STATUS (137 when it had to be killed).
run_corvane() {
  local limit=$1
  shift
  command -v corvane >/dev/null || fail "corvane binary not in the guest (did it build?)"
  echo "+ corvane $*" >&2
  timeout -s KILL "$limit" corvane "$@" >"$CORVANE_OUT" 2>&1
  CORVANE_STATUS=$?
  log "corvane ended with status $CORVANE_STATUS"
}

# show_corvane_output: copies corvane's output into the scenario log.
show_corvane_output() {
  echo "--- corvane output ---"
  cat "$CORVANE_OUT"
  echo "---"
}

# --- kernel trace buffer (bpf_trace_printk lines) ---------------------------------------------

TRACE=/sys/kernel/tracing
trace_clear() { : >"$TRACE/trace"; }
# trace_text: the trace buffer without its header comments.
trace_text() { grep -v '^#' "$TRACE/trace"; }

# --- clean-up between scenarios ---------------------------------------------------------------

# bed_reset: leaves the guest as booted: no processes but init, nothing mounted under /mnt
# or /tmp, no md arrays, no device-mapper devices, no LIO disks, no images.
bed_reset() {
  local pid self wwn lun tpg store hba md
  self=$$
  for pid in /proc/[0-9]*; do
    pid=${pid#/proc/}
    [ "$pid" = 1 ] || [ "$pid" = "$self" ] && continue
    [ -n "$(cat /proc/$pid/cmdline 2>/dev/null)" ] || continue
    grep -q "^PPid:[[:space:]]*0$" "/proc/$pid/status" 2>/dev/null && continue
    kill -KILL "$pid" 2>/dev/null
  done
  grep -E ' /(mnt|tmp)/' /proc/mounts | awk '{ print $2 }' | sort -r | while read -r m; do umount -l "$m"; done
  for md in /sys/block/md*/md/array_state; do
    [ -e "$md" ] && echo clear >"$md"
  done
  dmsetup remove_all --force >/dev/null 2>&1
  for wwn in "$TARGET"/loopback/naa.*; do
    [ -d "$wwn" ] || continue
    for tpg in "$wwn"/tpgt_*; do
      for lun in "$tpg"/lun/lun_*; do
        rm -f "$lun"/port
        rmdir "$lun"
      done
      echo NULL >"$tpg/nexus" 2>/dev/null
      rmdir "$tpg"
    done
    rmdir "$wwn"
  done
  for store in "$TARGET"/core/fileio_*/*; do
    [ -d "$store" ] && rmdir "$store"
  done
  for hba in "$TARGET"/core/fileio_*; do rmdir "$hba"; done
  rm -f /tmp/bed-* "$CORVANE_OUT"
  rm -rf "$BED_STATE"
  mkdir -p "$BED_STATE"
  trace_clear 2>/dev/null
  return 0
}

# --- probe scenarios (tests/vm/scenarios/probe_*.sh) ------------------------------------------

# expect_report HEADER LINE2 [STACK_ERE] [FILE]: corvane printed a report whose first line
# is "[<time>] HEADER" (HEADER: "comm(pid)"), whose second line is exactly LINE2, and
# whose stack has a frame naming a kernel function (one matching STACK_ERE if given).
expect_report() {
  awk -v h="$1" -v l2="$2" -v want="${3:-.}" '
    { line[NR] = $0 }
    END {
      for (i = 2; i <= NR; i++) {
        if (line[i] != l2) continue
        hl = line[i - 1]
        if (substr(hl, 1, 1) != "[" || index(hl, "] " h) == 0 || substr(hl, length(hl) - length(h) + 1) != h) continue
        for (j = i + 1; j <= NR && line[j] ~ /^0x[0-9a-f]+ /; j++)
          if (line[j] ~ /^0x[0-9a-f]+ [A-Za-z_][A-Za-z0-9_.]* 0x[0-9a-f]+\+0x[0-9a-f]+$/ && line[j] !~ / unknown_ksym / && line[j] ~ want) exit 0
      }
      exit 1
    }' "${4:-$CORVANE_OUT}" || fail "no report '[...] $1' / '$2' with a stack frame /${3:-.}/"
  ok "report $1: $2"
}

# report_frames "comm(pid)" "SECOND LINE" [N] [FILE]: the function names of the first N
# (default 2) stack frames of that report, one a line, innermost first.
report_frames() {
  awk -v h="$1" -v l2="$2" -v n="${3:-2}" '
    { line[NR] = $0 }
    END {
      for (i = 2; i <= NR; i++) {
        if (line[i] != l2) continue
        hl = line[i - 1]
        if (substr(hl, 1, 1) != "[" || substr(hl, length(hl) - length(h) + 1) != h) continue
        for (j = i + 1; j <= NR && j <= i + n && line[j] ~ /^0x[0-9a-f]+ /; j++) {
          split(line[j], f, " ")
          print f[2]
        }
        exit
      }
    }' "${4:-$CORVANE_OUT}"
}

# expect_frames "comm(pid)" "SECOND LINE" ERE...: the report's stack starts with frames whose
# function names match the EREs in turn (the probed function, then its direct caller, ...).
expect_frames() {
  local header=$1 second=$2 frames i=0 name want
  shift 2
  frames=$(report_frames "$header" "$second" $#)
  for want in "$@"; do
    i=$((i + 1))
    name=$(echo "$frames" | sed -n "${i}p")
    echo "$name" | grep -qE "^($want)\$" ||
      fail "report $header: frame $i is '$name', expected /$want/ (frames: $(echo $frames))"
  done
  ok "report $header: first frames $(echo $frames)"
}

# report_count TEXT [FILE]: number of report second lines starting with TEXT.
report_count() { grep -c "^$1" "${2:-$CORVANE_OUT}" 2>/dev/null || true; }

# bg_pid CMD...: runs CMD in the background, waits for it, prints its pid; fails when it fails.
bg_pid() {
  echo "+ $*" >&2
  # Started directly (not through the dd function), so that $! is the writer's pid.
  if [ "$1" = dd ] && [ -n "$BED_DD" ]; then
    shift
    set -- "$BED_DD" "$@"
  fi
  "$@" >&2 &
  local pid=$!
  wait $pid || fail "command failed: $*"
  echo $pid
}

# end_corvane: the same as stop_corvane.
end_corvane() { stop_corvane; }
