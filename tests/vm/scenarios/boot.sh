# The bed itself: kernel file systems are mounted, the modules are in, and one LIO disk
# appears as a SCSI disk with a 16-byte NAA wwid.
. /bed/lib.sh

log "kernel $(uname -r)"
for fs in proc sysfs devtmpfs configfs tracefs debugfs; do
  grep -q " $fs " /proc/mounts || fail "$fs is not mounted"
done
# Functions the monitor looks up or attaches to. Missing ones are reported, not failed:
# some are inlined in some kernels, which the probe scenarios must face.
wanted="sd_open dm_open dm_blk_open submit_bio iomap_write_iter iomap_file_buffered_write vfs_create_mount do_umount path_umount"
awk -v wanted="$wanted" '
  BEGIN { n = split(wanted, w, " "); for (i = 1; i <= n; i++) want[w[i]] = 1 }
  ($3 in want) && !seen[$3]++ { print "bed: kallsyms has " $3 " " $4 }
  END { for (i = 1; i <= n; i++) if (!seen[w[i]]) print "bed: note: " w[i] " is not in /proc/kallsyms" }
' /proc/kallsyms
for btf in vmlinux sd_mod dm_mod xfs ext4; do
  [ -e /sys/kernel/btf/$btf ] || log "note: /sys/kernel/btf/$btf missing (built in?)"
done
[ -e /sys/kernel/btf/vmlinux ] || fail "no /sys/kernel/btf/vmlinux"

disk=$(make_disk b0070001 64) || exit 1
log "disk $disk wwid $(disk_wwid "$disk")"
case $(disk_wwid "$disk") in naa.6001405*) ;; *) fail "unexpected wwid $(disk_wwid "$disk")" ;; esac
od -An -tx1 "/sys/block/$(basename "$disk")/device/vpd_pg83" | head -n 2
exit 0
