# ext4 on a whole LIO disk: an O_DIRECT write over the inode table is reported as a direct
# write into ext4's metadata with the disk's WWID and a kernel stack; a write into the data
# area is not; mounting, writing files, syncing and unmounting give no write report.
. /bed/lib.sh

disk=$(make_disk c0ffee11) || exit 1
wwid=$(disk_wwid_hex "$disk")
mkfs_ext4 "$disk"
bs=$(ext4_block_size "$disk")
itable=$(ext4_inode_table_block "$disk")
log "block size $bs, inode table at block $itable"

BED_LINEBUF=1 start_corvane "$disk"
wait_for_line "start monitor!" 60
expect_regex "^attach monitor_submit_bio: (fentry|kprobe) submit_bio_noacct$"
expect_line "wwid: $wwid"

# Normal use of the file system is not reported as a write.
mkdir -p /mnt/p
run mount -t ext4 "$disk" /mnt/p
for i in 1 2 3 4 5; do
  run dd if=/dev/urandom of=/mnt/p/file$i bs=64k count=4
done
run mkdir /mnt/p/dir
run sync
run umount /mnt/p
wait_for_line "wanna mount a ext4 from ext4's metadata" 30

# A rogue write into the data area (well past the metadata of group 0) is not reported.
data_block=$(( $(size_sectors "$disk") * 512 / bs - 16 ))
bg_pid dd if=/dev/zero of="$disk" bs="$bs" count=1 seek="$data_block" oflag=direct conv=notrunc >/dev/null

# A rogue write over the inode table is.
pid=$(bg_pid dd if=/dev/zero of="$disk" bs="$bs" count=1 seek="$itable" oflag=direct conv=notrunc) || exit 1
first=$((itable * bs))
wait_for_line "direct write ext4's metadata: [$first," 30
end_corvane
show_corvane_output
expect_report "dd($pid)" "direct write ext4's metadata: [$first, $((first + bs))) (+$bs) on device wwid: $wwid" "blkdev|submit_bio"
expect_frames "dd($pid)" "direct write ext4's metadata: [$first, $((first + bs))) (+$bs) on device wwid: $wwid" \
  submit_bio_noacct "submit_bio|submit_bio_wait"
expect_no_line "buffered write"
expect_equal "direct write reports" "$(report_count 'direct write ')" 1
exit 0
