#!/usr/bin/env bash
# Seed corpus of fuzz_fs_parser_ext4: the leading part of small ext4 images
# made by mkfs.ext4, one per layout family, each cut after the blocks the
# analysis reads (superblock, descriptors, the journal inode and its mapping).
# Usage: fuzz_fs_parser_ext4.seeds.sh <corpus directory>
set -euo pipefail
out=$1
mkdir -p "$out"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# seed <name> <image size> <bytes kept> <mkfs.ext4 options...>
seed() {
  local name=$1 size=$2 keep=$3
  shift 3
  local image=$work/$name.img
  truncate -s "$size" "$image"
  if ! mkfs.ext4 -q -F -E lazy_itable_init=1,lazy_journal_init=1,nodiscard "$@" "$image" \
    2>"$work/err"; then
    echo "seed $name: mkfs.ext4 $* failed, left out: $(cat "$work/err")" >&2
    return 0
  fi
  if [[ -n ${AFTER:-} ]]; then
    debugfs -w -R "$AFTER" "$image" >/dev/null 2>&1
  fi
  head -c "$keep" "$image" >"$out/$name"
  rm -f "$image"
}

seed default-4k 64M 256K -b 4096
seed 1k 16M 256K -b 1024
seed 2k 32M 256K -b 2048
seed 64k 256M 1M -b 65536 -N 64 -O ^flex_bg,^resize_inode
seed no64-1k 16M 256K -b 1024 -O ^64bit
seed desc128 64M 256K -b 4096 -E desc_size=128
seed bigalloc-1k 64M 512K -b 1024 -O bigalloc -C 16384
seed bigalloc-4k 128M 512K -b 4096 -O bigalloc
seed meta-1k 64M 512K -b 1024 -O meta_bg,^resize_inode
seed meta-1k-32 64M 512K -b 1024 -O meta_bg,^resize_inode,^64bit,^flex_bg
seed noflex-1k 64M 512K -b 1024 -O ^flex_bg
seed nosparse-1k 64M 512K -b 1024 -O ^sparse_super,^resize_inode
seed sparse2-1k 64M 512K -b 1024 -O sparse_super2 -E num_backup_sb=2
seed mmp-1k 16M 256K -b 1024 -O mmp
seed no-journal 16M 256K -b 1024 -O ^has_journal
# The journal in the old block map: direct, indirect and double indirect blocks.
seed blockmap-1k 8M 1M -b 1024 -O ^extent,^64bit -J size=1 -N 64
# A journal of more than four extents: a tree of depth 1, its node early on.
seed journal-tree-1k 512M 1M -b 1024 -N 64 -J size=130,location=512K
AFTER="ssv first_meta_bg 1" seed meta-first1 64M 512K -b 1024 -O meta_bg,^resize_inode
AFTER="ssv state 6" seed state-6 16M 256K -b 1024
AFTER="ssv journal_inum 0" seed journal-elsewhere 16M 256K -b 1024

ls "$out" | grep -q . || { echo "no seed made" >&2; exit 1; }
