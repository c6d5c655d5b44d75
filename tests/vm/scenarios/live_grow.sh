# Online growth is followed: after resize2fs grows a mounted ext4 and xfs_growfs a mounted
# xfs, a rogue write into the new last group's inode table and into the new last AG's
# header is reported; the growth itself is not.
. /bed/lib.sh

disk=$(make_disk c0ffeeb4 1024) || exit 1
wwid=$(disk_wwid_hex "$disk")
partition "$disk" 200M -
e4=$(part_node "$disk" 1)
xf=$(part_node "$disk" 2)
mkfs_ext4 -b 4096 "$e4" 20000
mkfs_xfs -d size=320m "$xf"
mkdir -p /mnt/e /mnt/x
run mount -t ext4 "$e4" /mnt/e
run mount -t xfs "$xf" /mnt/x

BED_LINEBUF=1 start_corvane "$e4" "$xf"
wait_for_line "start monitor!" 60

run resize2fs "$e4"
run xfs_growfs /mnt/x
wait_for_line "re-resolved $e4" 30
wait_for_line "re-resolved $xf" 30
expect_no_line "direct write"
expect_no_line "buffered write"

last=$(ext4_last_inode_table_block "$e4")
first=$(( $(part_start "$e4") * 512 + last * 4096 ))
pid=$(bg_pid bedtool writes "$e4" $((last * 4096)) 4096 1) || exit 1
wait_for_line "direct write ext4's metadata: [$first," 30
expect_report "bedtool($pid)" "direct write ext4's metadata: [$first, $((first + 4096))) (+4096) on device wwid: $wwid" "submit_bio"

bs=$(xfs_db -r -c "sb 0" -c "p blocksize" "$xf" | awk '{ print $3 }')
agblocks=$(xfs_db -r -c "sb 0" -c "p agblocks" "$xf" | awk '{ print $3 }')
agcount=$(xfs_db -r -c "sb 0" -c "p agcount" "$xf" | awk '{ print $3 }')
ag=$(( (agcount - 1) * agblocks * bs ))
first=$(( $(part_start "$xf") * 512 + ag ))
pid=$(bg_pid bedtool writes "$xf" "$ag" "$bs" 1) || exit 1
wait_for_line "direct write xfs's metadata: [$first," 30
expect_report "bedtool($pid)" "direct write xfs's metadata: [$first, $((first + bs))) (+$bs) on device wwid: $wwid" "submit_bio"
run umount /mnt/e
run umount /mnt/x
end_corvane
exit 0
