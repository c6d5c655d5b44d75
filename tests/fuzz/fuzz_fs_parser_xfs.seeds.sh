#!/usr/bin/env bash
# Seed corpus of fuzz_fs_parser_xfs: the first 4 KiB (the superblock sector)
# of xfs images made by mkfs.xfs, one per geometry family.
# Usage: fuzz_fs_parser_xfs.seeds.sh <corpus directory>
set -euo pipefail
out=$1
mkdir -p "$out"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# seed <name> <image size> <mkfs.xfs options...>
seed() {
  local name=$1 size=$2
  shift 2
  local image=$work/$name.img
  truncate -s "$size" "$image"
  if ! mkfs.xfs -q -f -K "$@" "$image" 2>"$work/err"; then
    echo "seed $name: mkfs.xfs $* failed, left out: $(cat "$work/err")" >&2
    return 0
  fi
  head -c 4096 "$image" >"$out/$name"
  rm -f "$image"
}

seed default 1G
seed ag7 1G -d agcount=7
seed rmapbt 1G -m rmapbt=1
seed no-reflink 1G -m reflink=0
seed no-finobt 1G -m finobt=0,reflink=0
seed v4 1G -m crc=0
seed sector4k 1G -s size=4096
seed 1k 1G -b size=1024
seed 64k 1G -b size=65536
seed last-group-short 1100M -d agsize=256m
truncate -s 128M "$work/log.img"
seed external-log 1G -l logdev="$work/log.img",size=64m

ls "$out" | grep -q . || { echo "no seed made" >&2; exit 1; }
