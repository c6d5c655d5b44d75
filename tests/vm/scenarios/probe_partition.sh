# Partitions: ext4 on the first partition and xfs on the second of one LIO disk. Writes are
# reported at their offset on the whole disk (partition start + offset in the partition):
# an O_DIRECT write over ext4's inode table, one over the header of xfs's second allocation
# group, and a buffered dd over ext4's inode table through the raw partition.
. /bed/lib.sh

disk=$(make_disk c0ffee21 1024) || exit 1
wwid=$(disk_wwid_hex "$disk")
partition "$disk" 64M -
p1=$(part_node "$disk" 1)
p2=$(part_node "$disk" 2)
mkfs_ext4 "$p1"
mkfs_xfs "$p2"
start1=$(( $(part_start "$p1") * 512 ))
start2=$(( $(part_start "$p2") * 512 ))
bs=$(ext4_block_size "$p1")
itable=$(ext4_inode_table_block "$p1")
xbs=$(xfs_db -r -c "sb 0" -c "p blocksize" "$p2" | sed -n 's/^blocksize = //p')
agblocks=$(xfs_db -r -c "sb 0" -c "p agblocks" "$p2" | sed -n 's/^agblocks = //p')
ag1=$((agblocks * xbs))
log "$p1 at byte $start1 (ext4, block $bs, inode table $itable); $p2 at byte $start2 (xfs, AG 1 at $ag1)"

start_corvane "$p1" "$p2"
wait_for_line "start monitor!" 60

# ext4: the reported range is the partition's start plus the offset in the partition.
pid=$(bg_pid dd if=/dev/zero of="$p1" bs="$bs" count=1 seek="$itable" oflag=direct conv=notrunc) || exit 1
first=$((start1 + itable * bs))
wait_for_line "direct write ext4's metadata: [$first," 30
expect_report "dd($pid)" "direct write ext4's metadata: [$first, $((first + bs))) (+$bs) on device wwid: $wwid" "blkdev|submit_bio"

# xfs: the superblock copy at the head of allocation group 1.
pid=$(bg_pid dd if=/dev/zero of="$p2" bs=512 count=1 seek=$((ag1 / 512)) oflag=direct conv=notrunc) || exit 1
first=$((start2 + ag1))
wait_for_line "direct write xfs's metadata: [$first," 30
expect_report "dd($pid)" "direct write xfs's metadata: [$first, $((first + 512))) (+512) on device wwid: $wwid" "blkdev|submit_bio"

# A buffered dd through the raw partition is seen when it fills the page cache.
pid=$(bg_pid dd if=/dev/zero of="$p1" bs="$bs" count=1 seek="$itable" conv=notrunc,fsync) || exit 1
first=$((start1 + itable * bs))
wait_for_line "buffered write ext4's metadata: [$first," 30
expect_report "dd($pid)" "buffered write ext4's metadata: [$first, $((first + bs))) (+$bs) on device wwid: $wwid" "blkdev_write_iter|vfs_write"
usleep 500000
end_corvane
show_corvane_output
log "reports of the buffered dd: $(grep -c "^\[.*\] dd($pid)" "$CORVANE_OUT") (buffered write at write(2); the fsync write-back of the device's page cache, not mounted, as a direct write)"
exit 0
