# A file system mounted before corvane starts (the usual case on a server): its own
# metadata traffic — journal commits, checkpoints and the write-back of its metadata
# buffers by sync and the flusher — is not reported, while a rogue write is.
. /bed/lib.sh

disk=$(make_disk c0ffee51) || exit 1
wwid=$(disk_wwid_hex "$disk")
partition "$disk" -
part=$(part_node "$disk" 1)
mkfs_ext4 "$part"
bs=$(ext4_block_size "$part")
itable=$(ext4_inode_table_block "$part")

mkdir -p /mnt/pre
run mount -t ext4 "$part" /mnt/pre
BED_LINEBUF=1 start_corvane "$part"
wait_for_line "start monitor!" 60

# Enough metadata churn to dirty bitmaps, inode tables and descriptors, then write-back.
for i in $(seq 1 40); do
  echo "$i" >/mnt/pre/small$i
done
run dd if=/dev/urandom of=/mnt/pre/big bs=64k count=16
run mkdir /mnt/pre/dir
run rm -f /mnt/pre/small1 /mnt/pre/small2
run sync
usleep 500000
run sync
echo 1 >/proc/sys/vm/drop_caches
run umount /mnt/pre
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
