# dm-multipath over two paths to one LUN, ext4 made on the multipath device and corvane
# started with the multipath device, as an operator would: the map names the LUN's WWID;
# a rogue write through the multipath device and one through the second path directly are
# reported on that WWID at the LUN's offset; ordinary use of the mounted file system is not.
. /bed/lib.sh

disk=$(make_disk c0ffee41) || exit 1
path2=$(add_path "$disk") || exit 1
wwid=$(disk_wwid_hex "$disk")
mp=$(dm_multipath probemp "$disk" "$path2") || exit 1
dmsetup table probemp >&2
mkfs_ext4 "$mp"
bs=$(ext4_block_size "$mp")
itable=$(ext4_inode_table_block "$mp")
log "block size $bs, inode table at block $itable"

BED_LINEBUF=1 start_corvane "$mp"
wait_for_line "start monitor!" 60
expect_line "wwid: $wwid"
expect_equal "disks in the map" "$(grep -c '^wwid: ' "$CORVANE_OUT")" 1

# Ordinary use of the file system through the multipath device is not reported as a write.
mkdir -p /mnt/mp
run mount -t ext4 "$mp" /mnt/mp
for i in 1 2 3; do
  run mkdir /mnt/mp/dir$i
  run dd if=/dev/urandom of=/mnt/mp/dir$i/file bs=64k count=4
done
run sync
run umount /mnt/mp
sleep 2
expect_no_line "direct write"
expect_no_line "buffered write"
log "mount reports: $(count_lines "wanna mount")"

# Offsets through multipath are the LUN's own.
first=$((itable * bs))
pg=$(page_size)
page=$((first / pg * pg))
# busybox dd cannot align its buffer for O_DIRECT on a device-mapper device and writes
# through the page cache: seen at write(2) and again at the write-back when dd syncs.
pid=$(bg_pid dd if=/dev/zero of="$mp" bs="$bs" count=1 seek="$itable" conv=notrunc,fsync) || exit 1
wait_for_line "direct write ext4's metadata: [$page, $((page + pg)))" 30
expect_report "dd($pid)" "buffered write ext4's metadata: [$first, $((first + bs))) (+$bs) on device wwid: $wwid" "blkdev_write_iter|vfs_write"
expect_report "dd($pid)" "direct write ext4's metadata: [$page, $((page + pg))) (+$pg) on device wwid: $wwid" "submit_bio"

# O_DIRECT through the second path directly, bypassing the multipath device.
pid=$(bg_pid dd if=/dev/zero of="$path2" bs="$bs" count=1 seek="$itable" oflag=direct conv=notrunc) || exit 1
i=0
while [ "$(count_lines "direct write ext4's metadata: [$first, $((first + bs)))")" -lt 1 ] && [ $i -lt 100 ]; do usleep 200000; i=$((i + 1)); done
expect_report "dd($pid)" "direct write ext4's metadata: [$first, $((first + bs))) (+$bs) on device wwid: $wwid" "blkdev|submit_bio"
usleep 500000
end_corvane
show_corvane_output
expect_equal "direct write reports" "$(count_lines "direct write ")" 2
expect_equal "buffered write reports" "$(count_lines "buffered write ")" 1
exit 0
