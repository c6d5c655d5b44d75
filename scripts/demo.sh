#!/usr/bin/env bash
# Shows corvane at work on a machine without SCSI disks: boots Debian's 6.1 kernel in QEMU
# (tests/vm), makes a SCSI disk with the kernel's LIO target, puts ext4 on a partition of
# it, and runs corvane while ordinary file activity and then a rogue `dd` over the inode
# table happen. The guest console is streamed here; takes about a minute.
#   scripts/demo.sh [--kernel 6.12] [--corvane PATH]
set -euo pipefail
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
exec "$repo/tests/vm/run" --kernel 6.1 --stream "$@" demo
