# A device-mapper table swapped under a watched ext4 (what pvmove does: the data copied to
# another disk, the table reloaded and resumed) is followed: corvane re-resolves the file
# system, a rogue write at the new place is reported with the new disk's WWID, and a write
# at the old place, now free, is not.
. /bed/lib.sh

old=$(make_disk c0ffeeb1 96) || exit 1
new=$(make_disk c0ffeeb2 96) || exit 1
sectors=$(size_sectors "$old")
lin=$(dm_create livelin "0 $sectors linear $(dev_majmin "$old") 0") || exit 1
mkfs_ext4 -b 4096 "$lin"
itable=$(ext4_inode_table_block "$lin")
off=$((itable * 4096))

BED_LINEBUF=1 start_corvane "$lin"
wait_for_line "start monitor!" 60
expect_line "wwid: $(disk_wwid_hex "$old")"

run dmsetup suspend livelin
run dd if="$old" of="$new" bs=1M count=$((sectors / 2048)) conv=notrunc
run dmsetup reload livelin --table "0 $sectors linear $(dev_majmin "$new") 0"
run dmsetup resume livelin
wait_for_line "re-resolved $lin" 30
grep "re-resolved" "$CORVANE_OUT" >&2

pid=$(bg_pid bedtool writes "$old" "$off" 4096 1) || exit 1
expected="direct write ext4's metadata: [$off, $((off + 4096))) (+4096) on device wwid: $(disk_wwid_hex "$new")"
pid=$(bg_pid bedtool writes "$new" "$off" 4096 1) || exit 1
wait_for_line "$expected" 30
usleep 500000
end_corvane
show_corvane_output
expect_report "bedtool($pid)" "$expected" "submit_bio"
expect_no_line "on device wwid: $(disk_wwid_hex "$old")"
exit 0
