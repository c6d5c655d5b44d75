# Faults of the storage while corvane watches: a watched dm device suspended for 10 s and
# resumed (a write made meanwhile is reported once it reaches the disk), and a watched LUN
# taken away (corvane drops it with one line and keeps watching the other disk).
. /bed/lib.sh

d0=$(make_disk c0ffeec2) || exit 1
d1=$(make_disk c0ffeec3) || exit 1
w1=$(disk_wwid_hex "$d1")
lin=$(dm_linear faultlin "$d1") || exit 1
mkfs_ext4 -b 4096 "$d0"
mkfs_ext4 -b 4096 "$lin"
it0=$(ext4_inode_table_block "$d0")
it1=$(ext4_inode_table_block "$lin")

BED_LINEBUF=1 start_corvane "$d0" "$lin"
wait_for_line "start monitor!" 60

run dmsetup suspend faultlin
bedtool writes "$lin" $((it1 * 4096)) 4096 1 &
writer=$!
sleep 10
corvane_running || fail "corvane ended while the dm device was suspended"
run dmsetup resume faultlin
wait $writer || fail "the write through the suspended device failed"
wait_for_line "direct write ext4's metadata: [$((it1 * 4096)), $((it1 * 4096 + 4096))) (+4096) on device wwid: $w1" 30

remove_disk "$d0"
wait_for_line "dropped $d0" 30
corvane_running || fail "corvane ended when a watched LUN went away"
pid=$(bg_pid bedtool writes "$lin" $((it1 * 4096)) 4096 1) || exit 1
i=0
while [ "$(count_lines "on device wwid: $w1")" -lt 2 ] && [ $i -lt 100 ]; do usleep 200000; i=$((i + 1)); done
end_corvane
show_corvane_output
expect_equal "reports on the remaining disk" "$(count_lines "on device wwid: $w1")" 2
expect_equal "lines about the removal" "$(count_lines "dropped $d0")" 1
exit 0
