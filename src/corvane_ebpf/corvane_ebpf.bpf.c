// SPDX-License-Identifier: (BSD-2-Clause OR GPL-2.0)
/* In-kernel half of corvane: maps every write and every mount down to byte
 * ranges on SCSI disks (through partitions and device-mapper tables), matches
 * them against the watched ranges of each disk and reports through the ring
 * buffer "events" what did not come from the file system's own code.
 *
 * Kernel structures are read with CO-RE relocations only, so one object runs
 * on every kernel that publishes BTF. All loops are bounded; working memory
 * that does not fit the 512-byte eBPF stack lives in per-CPU arrays. No
 * program ever changes the behaviour of the probed kernel function: each
 * returns 0 and drops its event on any failure.
 *
 * The road of one write: fentry.h or kprobe.h (the programs, one set per
 * attach mode) -> write_paths.h, mounts.h (what each probe does) -> walk.h
 * (the walk of its byte range) -> descent.h (device-mapper tables) -> disk.h
 * (which disk) -> ranges.h (watched ranges, the file system's code) -> walk.h
 * (the report). */
#include "vmlinux.h"

#include <bpf/bpf_core_read.h>
#include <bpf/bpf_helpers.h>
#include <bpf/bpf_tracing.h>

#include "common/common.h"
#include "common/vpd83.h"

#include "addon_bpf.h"
#include "maps.h"
#include "disk.h"
#include "ranges.h"
#include "descent.h"
#include "instances.h"
#include "walk.h"
#include "write_paths.h"
#include "mounts.h"
#include "fentry.h"
#include "kprobe.h"

char LICENSE[] SEC("license") = "Dual BSD/GPL";
