# The ext4 file systems most at risk are watched, each with a line naming its state: a
# mounted journal-less ext4 (not clean while mounted) and one with recorded errors; a rogue
# write into either's inode table is reported.
. /bed/lib.sh

disk=$(make_disk c0ffee9a) || exit 1
wwid=$(disk_wwid_hex "$disk")
partition "$disk" 64M -
nojournal=$(part_node "$disk" 1)
errors=$(part_node "$disk" 2)
mkfs_ext4 -b 4096 -O ^has_journal "$nojournal"
mkfs_ext4 -b 4096 "$errors"
run debugfs -w -R "ssv state 3" "$errors"
mkdir -p /mnt/n
run mount -t ext4 "$nojournal" /mnt/n
[ "$(dumpe2fs -h "$nojournal" 2>/dev/null | sed -n 's/^Filesystem state: *//p')" = "not clean" ] ||
  log "note: dumpe2fs does not call the mounted journal-less ext4 not clean"

BED_LINEBUF=1 start_corvane "$nojournal" "$errors"
wait_for_line "start monitor!" 60
expect_line "$nojournal: ext4 state: not clean"
expect_line "$errors: ext4 state: errors recorded"
expect_no_line "fs_parser error"
for part in "$nojournal" "$errors"; do
  itable=$(ext4_inode_table_block "$part")
  first=$(( $(part_start "$part") * 512 + itable * 4096 ))
  pid=$(bg_pid bedtool writes "$part" $((itable * 4096)) 4096 1) || exit 1
  wait_for_line "direct write ext4's metadata: [$first," 30
  expect_report "bedtool($pid)" "direct write ext4's metadata: [$first, $((first + 4096))) (+4096) on device wwid: $wwid" "submit_bio"
done
run umount /mnt/n
end_corvane
exit 0
