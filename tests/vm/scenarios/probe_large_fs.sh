# A default ext4 on a 4 TiB (sparse) LIO disk is watched entirely: a rogue write into the
# inode table of its last group, at the far end of the disk, is reported.
. /bed/lib.sh

disk=$(make_disk c0ffee9b 4194304) || exit 1
wwid=$(disk_wwid_hex "$disk")
# The inode tables and the journal are left to be written later (as on a fresh LUN with
# lazy initialisation), so that the sparse image holds only what mkfs must write.
mkfs_ext4 -b 4096 -E lazy_itable_init=1,lazy_journal_init=1 "$disk"
last=$(ext4_last_inode_table_block "$disk")
groups=$(dumpe2fs -h "$disk" 2>/dev/null | awk -F: '/^Block count/ { b = $2 } /^Blocks per group/ { g = $2 } END { printf "%d", (b + g - 1) / g }')
first=$((last * 4096))
log "$groups groups; the last inode table starts at block $last (byte $first)"

BED_LINEBUF=1 start_corvane "$disk"
wait_for_line "start monitor!" 90
pid=$(bg_pid bedtool writes "$disk" "$first" 4096 1) || exit 1
wait_for_line "direct write ext4's metadata: [$first," 30
end_corvane
expect_report "bedtool($pid)" "direct write ext4's metadata: [$first, $((first + 4096))) (+4096) on device wwid: $wwid" "submit_bio"
exit 0
