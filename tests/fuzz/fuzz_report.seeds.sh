#!/usr/bin/env bash
# Seed corpus of fuzz_report: one record of each kind (the layout of event_t
# in src/common/common.h), with stacks in the fuzz target's symbol table.
# Usage: fuzz_report.seeds.sh <corpus directory>
set -euo pipefail
out=$1
mkdir -p "$out"

# put FILE OFFSET BYTES...: writes bytes (two hex digits each) at OFFSET.
put() {
  local file=$1 offset=$2
  shift 2
  local escaped=""
  for byte in "$@"; do escaped+="\\x$byte"; done
  printf "$escaped" | dd of="$file" bs=1 seek="$offset" conv=notrunc status=none
}
# u32/u64 FILE OFFSET VALUE: little-endian numbers.
u32() { put "$1" "$2" $(printf '%08x' "$3" | sed -E 's/(..)(..)(..)(..)/\4 \3 \2 \1/'); }
u64() { u32 "$1" "$2" $(($3 & 0xffffffff)); u32 "$1" $(($2 + 4)) $(($3 >> 32)); }

# record NAME TYPE: a write by dd(4242) over [4096, 8192) of watched file
# system 1, with a stack from the trampoline through submit_bio_noacct.
record() {
  local file=$out/$1
  head -c 464 /dev/zero >"$file"
  u64 "$file" 0 $(((4242 << 32) | 4243))     # ptid
  u64 "$file" 8 5000000000000                # nsec
  u64 "$file" 16 3                           # stack_size
  u64 "$file" 24 4096                        # range.first
  u64 "$file" 32 8192                        # range.second
  u32 "$file" 40 1                           # range.type: ext4
  u64 "$file" 48 1                           # range.source
  u32 "$file" 56 "$2"                        # type
  u32 "$file" 60 1                           # mount_type
  put "$file" 80 64 64                       # comm "dd"
  u64 "$file" 96 $((0x1010))                 # ip[0..2]
  u64 "$file" 104 $((0x2034))
  u64 "$file" 112 $((0x4008))
  u64 "$file" 352 0                          # hit_first
  u64 "$file" 360 $((1 << 20))               # hit_second
  u64 "$file" 368 $((0x2000))                # func_ip
  u32 "$file" 392 $((8 << 20 | 17))          # device
}

record direct_write 1
record discard 1 && u32 "$out/discard" 388 3
record buffered_write 2
record mmap_write 6
record scsi_write_same 7 && u32 "$out/scsi_write_same" 388 $((0x93)) && put "$out/scsi_write_same" 400 93
record scsi_write32 7 && put "$out/scsi_write32" 400 7f 00 00 00 00 00 00 18 00 0b
record mount 3 && put "$out/mount" 400 2f 64 65 76 2f 73 64 62
record double_mount 4 && put "$out/double_mount" 400 2f 64 65 76 0a ff
record unmount 5
