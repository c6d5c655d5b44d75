# File systems mounted before corvane starts (the usual case on a server): their own
# metadata traffic — journal commits, checkpoints, the write-back of ext4's metadata
# buffers by sync and the flusher, xfs's log and metadata writes — is not reported, while
# a rogue write is.
. /bed/lib.sh

disk=$(make_disk c0ffee51 1024) || exit 1
wwid=$(disk_wwid_hex "$disk")
partition "$disk" 96M -
part=$(part_node "$disk" 1)
xpart=$(part_node "$disk" 2)
mkfs_ext4 "$part"
mkfs_xfs "$xpart"
bs=$(ext4_block_size "$part")
itable=$(ext4_inode_table_block "$part")

mkdir -p /mnt/pre /mnt/xpre
run mount -t ext4 "$part" /mnt/pre
run mount -t xfs "$xpart" /mnt/xpre
BED_LINEBUF=1 start_corvane "$part" "$xpart"
wait_for_line "start monitor!" 60

# Enough metadata churn to dirty bitmaps, inode tables and descriptors, then write-back.
for dir in /mnt/pre /mnt/xpre; do
  for i in $(seq 1 40); do
    echo "$i" >$dir/small$i
  done
  run dd if=/dev/urandom of=$dir/big bs=64k count=16
  run mkdir $dir/dir
  run rm -f $dir/small1 $dir/small2
done
run sync
usleep 500000
run sync
echo 1 >/proc/sys/vm/drop_caches
run umount /mnt/pre
run umount /mnt/xpre
usleep 500000
expect_no_line "direct write"
expect_no_line "buffered write"

pid=$(bg_pid dd if=/dev/zero of="$part" bs="$bs" count=1 seek="$itable" oflag=direct conv=notrunc) || exit 1
first=$(( $(part_start "$part") * 512 + itable * bs ))
wait_for_line "direct write ext4's metadata: [$first," 30
end_corvane
show_corvane_output
expect_report "dd($pid)" "direct write ext4's metadata: [$first, $((first + bs))) (+$bs) on device wwid: $wwid" "blkdev|submit_bio"
expect_equal "direct write reports" "$(report_count 'direct write ')" 1
exit 0
