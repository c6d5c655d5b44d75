# SCSI commands sent with SG_IO straight to a watched disk: WRITE(10), WRITE SAME(16) and
# UNMAP over the first inode table of its ext4 are reported with the byte range their
# CDB (or UNMAP's block descriptor) names; a command that writes nothing is not.
. /bed/lib.sh

disk=$(BED_THIN=1 make_disk c0ffee92) || exit 1
wwid=$(disk_wwid_hex "$disk")
lbs=$(hw_sector_size "$disk")
mkfs_ext4 -b 4096 "$disk"
itable=$(ext4_inode_table_block "$disk")
first=$((itable * 4096))
lba=$((first / lbs))
blocks=$((4096 / lbs))
expected="ext4's metadata: [$first, $((first + 4096))) (+4096) on device wwid: $wwid"

BED_LINEBUF=1 start_corvane "$disk"
wait_for_line "start monitor!" 60

# READ CAPACITY(10) writes nothing.
run sg_raw -r 8 "$disk" 25 00 00 00 00 00 00 00 00 00
run dd if=/dev/zero of=/tmp/block bs=4096 count=1

pid=$(bg_pid sg_raw -s 4096 -i /tmp/block "$disk" 2a 00 $(hex_bytes $lba 4) 00 $(hex_bytes $blocks 2) 00) || exit 1
wait_for_line "SCSI WRITE(10) $expected" 30
expect_report "sg_raw($pid)" "SCSI WRITE(10) $expected" "blk_execute_rq"

pid=$(bg_pid sg_write_same --16 --lba=$lba --num=$blocks "$disk") || exit 1
wait_for_line "SCSI WRITE SAME(16) $expected" 30
expect_report "sg_write_same($pid)" "SCSI WRITE SAME(16) $expected" "blk_execute_rq"

pid=$(bg_pid sg_unmap --lba=$lba --num=$blocks "$disk") || exit 1
wait_for_line "SCSI UNMAP $expected" 30
expect_report "sg_unmap($pid)" "SCSI UNMAP $expected" "blk_rq_map_user_iov"
end_corvane
show_corvane_output
expect_equal "SCSI reports" "$(report_count 'SCSI ')" 3
expect_no_line "direct write"
exit 0
