# The bed itself: kernel file systems are mounted, the modules are in, and one LIO disk
# appears as a SCSI disk with a 16-byte NAA wwid.
. /bed/lib.sh

log "kernel $(uname -r), $(uname -m), page size $(page_size)"
for fs in proc sysfs devtmpfs configfs tracefs debugfs; do
  grep -q " $fs " /proc/mounts || fail "$fs is not mounted"
done
# Functions the monitor looks up or may attach to, with whether /proc/kallsyms and the
# kernel's own BTF (what fentry/fexit on vmlinux functions need) have them. Missing ones are reported, not failed:
# some are inlined in some kernels, which the probe scenarios must face.
wanted="sd_open dm_open dm_blk_open submit_bio submit_bio_noacct iomap_write_iter iomap_iter
  iomap_file_buffered_write vfs_create_mount do_umount path_umount generic_shutdown_super
  blkdev_write_iter filemap_page_mkwrite blk_execute_rq blk_execute_rq_nowait
  blk_rq_map_user_iov blk_rq_map_kern blkdev_ioctl security_file_ioctl __x64_sys_ioctl
  __arm64_sys_ioctl register_ftrace_direct register_ftrace_direct_multi"
bpftool btf dump file /sys/kernel/btf/vmlinux format raw 2>/dev/null |
  sed -n "s/^\[[0-9]*\] FUNC '\([^']*\)'.*/\1/p" >/tmp/btf-functions
awk -v wanted="$wanted" '
  BEGIN { n = split(wanted, w, " "); for (i = 1; i <= n; i++) want[w[i]] = 1 }
  FILENAME != "/proc/kallsyms" { btf[$1] = 1; next }
  ($3 in want) && !(($3) in ksym) { ksym[$3] = $4 == "" ? "vmlinux" : $4 }
  END {
    for (i = 1; i <= n; i++)
      printf "bed: function %-28s kallsyms %-9s vmlinux-btf %s\n", w[i],
        (w[i] in ksym) ? ksym[w[i]] : "-", (w[i] in btf) ? "yes" : "-"
  }
' /tmp/btf-functions /proc/kallsyms
reason=$(no_fentry_reason)
log "fentry/fexit on kernel functions: ${reason:-possible}"
for btf in vmlinux sd_mod dm_mod xfs ext4; do
  [ -e /sys/kernel/btf/$btf ] || log "note: /sys/kernel/btf/$btf missing (built in?)"
done
[ -e /sys/kernel/btf/vmlinux ] || fail "no /sys/kernel/btf/vmlinux"

disk=$(make_disk b0070001 64) || exit 1
log "disk $disk wwid $(disk_wwid "$disk")"
case $(disk_wwid "$disk") in naa.6001405*) ;; *) fail "unexpected wwid $(disk_wwid "$disk")" ;; esac
od -An -tx1 "/sys/block/$(basename "$disk")/device/vpd_pg83" | head -n 2
exit 0
