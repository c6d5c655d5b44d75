#!/usr/bin/env bash
# Sets up and runs corvane. With device paths, builds it and runs it on them
# (this machine needs SCSI disks and a kernel with BTF and fentry support);
# without, shows it at work in a QEMU guest with SCSI disks from the kernel's
# LIO target (scripts/demo.sh).
#   scripts/run.sh                      # demonstration
#   scripts/run.sh [OPTIONS] DEVICE...  # monitor these file systems, e.g. -m 1 /dev/sdb1
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
bash "$root/scripts/install-deps.sh"
bash "$root/scripts/build.sh" "$root/build" -DCORVANE_TESTS=OFF
if (($#)); then
  exec "$root/build/corvane" "$@"
fi
exec bash "$root/scripts/demo.sh" --corvane "$root/build/corvane"
