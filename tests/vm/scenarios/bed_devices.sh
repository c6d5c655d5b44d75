# The bed's devices: two LIO disks with distinct 16-byte NAA wwids, a dm-linear device over
# partitions of both, and a multipath device over two paths to one LUN, all usable.
. /bed/lib.sh

d0=$(make_disk c0ffee01) || exit 1
d1=$(make_disk c0ffee02) || exit 1
w0=$(disk_wwid "$d0")
w1=$(disk_wwid "$d1")
log "$d0 $w0"
log "$d1 $w1"
case $w0 in naa.*) ;; *) fail "$d0 has no naa wwid: $w0" ;; esac
case $w1 in naa.*) ;; *) fail "$d1 has no naa wwid: $w1" ;; esac
[ "$w0" != "$w1" ] || fail "the two disks share the wwid $w0"
[ ${#w0} -eq 36 ] || fail "wwid $w0 is not a 16-byte NAA"
[ -n "$(disk_wwid_hex "$d0")" ] || fail "cannot read 32 hex digits from $w0"

# dm-linear over the first partition of each disk.
partition "$d0" 64M -
partition "$d1" 32M -
p0=$(part_node "$d0" 1)
p1=$(part_node "$d1" 1)
log "$p0 starts at sector $(part_start "$p0"), $p1 at $(part_start "$p1")"
lin=$(dm_linear bedlin "$p0" "$p1") || exit 1
table=$(dmsetup table bedlin)
echo "$table" >&2
s0=$(size_sectors "$p0")
s1=$(size_sectors "$p1")
expect_equal "linear table" "$table" "0 $s0 linear $(dev_majmin "$p0") 0
$s0 $s1 linear $(dev_majmin "$p1") 0"
expect_equal "linear size" "$(size_sectors "$lin")" $((s0 + s1))
mkfs_ext4 "$lin"
mkdir -p /mnt/lin
run mount -t ext4 "$lin" /mnt/lin
run dd if=/dev/urandom of=/mnt/lin/file bs=1M count=8 conv=fsync
run umount /mnt/lin

# Multipath: two loopback ports on one backstore give two SCSI disks with one wwid.
m0=$(make_disk c0ffee03 512) || exit 1
m1=$(add_path "$m0") || exit 1
log "paths $m0 $(disk_wwid "$m0"), $m1 $(disk_wwid "$m1")"
expect_equal "wwid of the second path" "$(disk_wwid "$m1")" "$(disk_wwid "$m0")"
[ "$(disk_wwid "$m0")" != "$w0" ] || fail "multipath LUN shares the wwid of $d0"
mp=$(dm_multipath bedmp "$m0" "$m1") || exit 1
table=$(dmsetup table bedmp)
echo "$table" >&2
case $table in
"0 $(size_sectors "$m0") multipath "*" $(dev_majmin "$m0") "*" $(dev_majmin "$m1") "*) ;;
*) fail "unexpected multipath table: $table" ;;
esac
dmsetup status bedmp >&2
mkfs_xfs "$mp"
mkdir -p /mnt/mp
run mount -t xfs "$mp" /mnt/mp
run dd if=/dev/urandom of=/mnt/mp/file bs=1M count=4 conv=fsync
run umount /mnt/mp
# The data written through the multipath device is on the LUN seen by both paths.
run cmp -n 1048576 "$m0" "$m1"
exit 0
