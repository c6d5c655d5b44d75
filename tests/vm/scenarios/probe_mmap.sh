# A store through a shared writable mapping of the block device into the inode table of a
# mounted ext4 reaches the disk at msync without any write(2): it is reported once, as an
# mmap write by the storing process, at the page it stored into; its write-back (the
# device's own page cache, held by ext4) is not reported again.
. /bed/lib.sh

disk=$(make_disk c0ffee91) || exit 1
wwid=$(disk_wwid_hex "$disk")
partition "$disk" 64M -
part=$(part_node "$disk" 1)
mkfs_ext4 -b 4096 "$part"
itable=$(ext4_inode_table_block "$part")
mkdir -p /mnt/m
run mount -t ext4 "$part" /mnt/m

BED_LINEBUF=1 start_corvane "$part"
wait_for_line "start monitor!" 60

# The last inode slot of the first inode-table block; the page is that block (4 KiB).
page=$(( $(part_start "$part") * 512 + itable * 4096 ))
pid=$(bg_pid bedtool mmap-store "$part" $((itable * 4096 + 3840)) 256) || exit 1
wait_for_line "mmap write ext4's metadata: [$page," 30
run sync
run umount /mnt/m
usleep 500000
end_corvane
show_corvane_output
expect_report "bedtool($pid)" "mmap write ext4's metadata: [$page, $((page + 4096))) (+4096) on device wwid: $wwid" "filemap_page_mkwrite"
expect_equal "mmap write reports" "$(report_count 'mmap write ')" 1
expect_no_line "direct write"
exit 0
