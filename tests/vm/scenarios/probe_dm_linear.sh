# dm-linear across partitions of two disks: rogue writes through the device-mapper device
# are reported with the lower disk's WWID at the lower disk's offsets, for both targets of
# the concatenation, and the same writes through the lower partitions are reported alike.
#
# The file systems are made on the lower partitions and watched there, so that the test
# depends only on the in-kernel descent through the live table: corvane's user-space
# resolution of a device-mapper device is tried first and its outcome logged.
. /bed/lib.sh

d0=$(make_disk c0ffee31) || exit 1
d1=$(make_disk c0ffee32) || exit 1
w0=$(disk_wwid_hex "$d0")
w1=$(disk_wwid_hex "$d1")
partition "$d0" 32M -
partition "$d1" 48M -
p0=$(part_node "$d0" 2)
p1=$(part_node "$d1" 2)
mkfs_ext4 "$p0"
mkfs_ext4 "$p1"
lin=$(dm_linear probelin "$p1" "$p0") || exit 1 # target 0 on disk 1, target 1 on disk 0

# The dm device begins with p1's ext4.
run_corvane 20 "$lin"
if grep -q "start monitor!" "$CORVANE_OUT"; then
  log "user-space resolution of $lin works"
else
  log "note: corvane could not resolve $lin in user space: $(grep -m1 -i 'error\|fail' "$CORVANE_OUT")"
fi

ps0=$(( $(part_start "$p0") * 512 ))
ps1=$(( $(part_start "$p1") * 512 ))
len1=$(( $(size_sectors "$p1") * 512 ))
bs0=$(ext4_block_size "$p0")
it0=$(ext4_inode_table_block "$p0")
bs1=$(ext4_block_size "$p1")
it1=$(ext4_inode_table_block "$p1")

start_corvane "$p0" "$p1"
wait_for_line "start monitor!" 60

# busybox dd cannot align its buffer for O_DIRECT on a device-mapper device (DMA
# alignment 512) and writes through the page cache instead: each rogue write through the
# dm device is seen twice, as a buffered write at write(2) and as the write-back of the
# device's page cache (a whole 4 KiB page) when dd syncs.

# Target 0 (disk 1): dm offset = offset in p1.
first=$((ps1 + it1 * bs1))
page=$((ps1 + it1 * bs1 / 4096 * 4096))
pid=$(bg_pid dd if=/dev/zero of="$lin" bs="$bs1" count=1 seek="$it1" conv=notrunc,fsync) || exit 1
wait_for_line "direct write ext4's metadata: [$page," 30
expect_report "dd($pid)" "buffered write ext4's metadata: [$first, $((first + bs1))) (+$bs1) on device wwid: $w1" "blkdev_write_iter|vfs_write"
expect_report "dd($pid)" "direct write ext4's metadata: [$page, $((page + 4096))) (+4096) on device wwid: $w1" "submit_bio"

# Target 1 (disk 0): dm offset = length of p1 + offset in p0.
first=$((ps0 + it0 * bs0))
page=$((ps0 + it0 * bs0 / 4096 * 4096))
seek=$(( (len1 + it0 * bs0) / bs0 ))
pid=$(bg_pid dd if=/dev/zero of="$lin" bs="$bs0" count=1 seek="$seek" conv=notrunc,fsync) || exit 1
wait_for_line "direct write ext4's metadata: [$page," 30
expect_report "dd($pid)" "buffered write ext4's metadata: [$first, $((first + bs0))) (+$bs0) on device wwid: $w0" "blkdev_write_iter|vfs_write"
expect_report "dd($pid)" "direct write ext4's metadata: [$page, $((page + 4096))) (+4096) on device wwid: $w0" "submit_bio"

# The same block through the lower partition, with O_DIRECT.
pid=$(bg_pid dd if=/dev/zero of="$p0" bs="$bs0" count=1 seek="$it0" oflag=direct conv=notrunc) || exit 1
i=0
while [ "$(count_lines "direct write ext4's metadata: [$first, $((first + bs0)))")" -lt 1 ] && [ $i -lt 100 ]; do usleep 200000; i=$((i + 1)); done
expect_report "dd($pid)" "direct write ext4's metadata: [$first, $((first + bs0))) (+$bs0) on device wwid: $w0" "blkdev|submit_bio"

# A write through the dm device into the data area of p1 is not reported.
bg_pid dd if=/dev/zero of="$lin" bs=4096 count=4 seek=$(( (len1 - 65536) / 4096 )) conv=notrunc,fsync >/dev/null
usleep 500000
end_corvane
show_corvane_output
expect_equal "direct write reports" "$(count_lines "direct write ")" 3
expect_equal "buffered write reports" "$(count_lines "buffered write ")" 2
exit 0
