# dm-linear across partitions of two disks, ext4 made on the device-mapper device and
# corvane started with the device-mapper device, as an operator would: the map lists both
# disks; rogue writes over inode tables in either target, through the dm device or the
# lower partition, are reported with the lower disk's WWID at that disk's byte offsets;
# writes into the data area and ordinary use of the mounted file system are not.
. /bed/lib.sh

d0=$(make_disk c0ffee31) || exit 1
d1=$(make_disk c0ffee32) || exit 1
w0=$(disk_wwid_hex "$d0")
w1=$(disk_wwid_hex "$d1")
partition "$d0" 32M 200M
partition "$d1" 48M 180M
p0=$(part_node "$d0" 2)
p1=$(part_node "$d1" 2)
lin=$(dm_linear probelin "$p1" "$p0") || exit 1 # target 0 on disk 1, target 1 on disk 0
dmsetup table probelin >&2

# About 380 MiB of ext4 with 1 KiB blocks: flex groups of 16 groups of 8 MiB, so the header
# and the bitmaps and inode tables of groups 0 to 31 lie in target 0 (p1, about 180 MiB;
# sfdisk rounds the partitions to its alignment, so all sizes and starts come from sysfs),
# those of the groups from 32 on in target 1. Both targets are whole pages (1 MiB aligned).
mkfs_ext4 "$lin"
bs=$(ext4_block_size "$lin")
ps0=$(( $(part_start "$p0") * 512 ))
ps1=$(( $(part_start "$p1") * 512 ))
len1=$(( $(size_sectors "$p1") * 512 ))
total=$(( $(size_sectors "$lin") * 512 ))

# The first inode table (dm byte offsets [a, b)) that lies wholly in each target.
dumpe2fs "$lin" 2>/dev/null | sed -n 's/.*Inode table at \([0-9]*\)-\([0-9]*\).*/\1 \2/p' >/tmp/itables
[ -s /tmp/itables ] || fail "dumpe2fs listed no inode table of $lin"
it_in() {
  awk -v bs="$bs" -v lo="$1" -v hi="$2" '$1 * bs >= lo && ($2 + 1) * bs <= hi { print $1; exit }' /tmp/itables
}
it0=$(it_in 0 "$len1")
it1=$(it_in "$len1" "$total")
[ -n "$it0" ] || fail "no inode table in target 0 ([0, $len1))"
[ -n "$it1" ] || fail "no inode table in target 1 ([$len1, $total)): $(tail -n 3 /tmp/itables | tr '\n' ' ')"
log "block size $bs; $(wc -l </tmp/itables) inode tables; target 0: $p1 at byte $ps1, $len1 bytes, inode table at block $it0; target 1: $p0 at byte $ps0, inode table at block $it1"

BED_LINEBUF=1 start_corvane "$lin"
wait_for_line "start monitor!" 60
expect_line "wwid: $w0"
expect_line "wwid: $w1"
expect_equal "disks in the map" "$(grep -c '^wwid: ' "$CORVANE_OUT")" 2

# Ordinary use of the file system through the dm device is not reported as a write.
mkdir -p /mnt/lin
run mount -t ext4 "$lin" /mnt/lin
for i in 1 2 3 4; do
  run mkdir /mnt/lin/dir$i
  run dd if=/dev/urandom of=/mnt/lin/dir$i/file bs=64k count=4
done
run sync
run umount /mnt/lin
sleep 2
expect_no_line "direct write"
expect_no_line "buffered write"
log "mount reports: $(count_lines "wanna mount")"

# busybox dd cannot align its buffer for O_DIRECT on a device-mapper device (DMA
# alignment 512) and writes through the page cache instead: each rogue write through the
# dm device is seen twice, as a buffered write at write(2) and as the write-back of the
# device's page cache (a whole page, 4 KiB or larger) when dd syncs.

pg=$(page_size)

# Target 0 (disk 1): dm offset = offset in p1.
off=$((it0 * bs))
first=$((ps1 + off))
page=$((ps1 + off / pg * pg))
pid=$(bg_pid dd if=/dev/zero of="$lin" bs="$bs" count=1 seek="$it0" conv=notrunc,fsync) || exit 1
wait_for_line "direct write ext4's metadata: [$page, $((page + pg)))" 30
expect_report "dd($pid)" "buffered write ext4's metadata: [$first, $((first + bs))) (+$bs) on device wwid: $w1" "blkdev_write_iter|vfs_write"
expect_report "dd($pid)" "direct write ext4's metadata: [$page, $((page + pg))) (+$pg) on device wwid: $w1" "submit_bio"

# Target 1 (disk 0): offset in p0 = dm offset - length of p1.
off=$((it1 * bs - len1))
first=$((ps0 + off))
page=$((ps0 + off / pg * pg))
pid=$(bg_pid dd if=/dev/zero of="$lin" bs="$bs" count=1 seek="$it1" conv=notrunc,fsync) || exit 1
wait_for_line "direct write ext4's metadata: [$page, $((page + pg)))" 30
expect_report "dd($pid)" "buffered write ext4's metadata: [$first, $((first + bs))) (+$bs) on device wwid: $w0" "blkdev_write_iter|vfs_write"
expect_report "dd($pid)" "direct write ext4's metadata: [$page, $((page + pg))) (+$pg) on device wwid: $w0" "submit_bio"

# The same block through the lower partition, with O_DIRECT.
pid=$(bg_pid dd if=/dev/zero of="$p0" bs="$bs" count=1 seek=$((off / bs)) oflag=direct conv=notrunc) || exit 1
i=0
while [ "$(count_lines "direct write ext4's metadata: [$first, $((first + bs)))")" -lt 1 ] && [ $i -lt 100 ]; do usleep 200000; i=$((i + 1)); done
expect_report "dd($pid)" "direct write ext4's metadata: [$first, $((first + bs))) (+$bs) on device wwid: $w0" "blkdev|submit_bio"

# A write through the dm device into the data area (end of target 0, group 22) is not.
bg_pid dd if=/dev/zero of="$lin" bs=4096 count=4 seek=$(( (len1 - 65536) / 4096 )) conv=notrunc,fsync >/dev/null
usleep 500000
end_corvane
show_corvane_output
expect_equal "direct write reports" "$(count_lines "direct write ")" 3
expect_equal "buffered write reports" "$(count_lines "buffered write ")" 2
exit 0
