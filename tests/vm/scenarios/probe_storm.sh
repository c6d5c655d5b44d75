# Storm control on a real kernel: one process rewriting the same inode-table block 300 times
# is reported once in full and then in one "coalesced" line; distinct writes beyond the report
# budget are summed up in "held back" lines; the closing breakdown accounts for every write.
# With --format json the write is one JSON record of its own.
. /bed/lib.sh

disk=$(make_disk c0ffeea2) || exit 1
wwid=$(disk_wwid_hex "$disk")
mkfs_ext4 -b 4096 "$disk"
itable=$(ext4_inode_table_block "$disk")
first=$((itable * 4096))
range="[$first, $((first + 4096)))"
line2="direct write ext4's metadata: $range (+4096) on device wwid: $wwid"

start_corvane "$disk"
wait_for_line "start monitor!" 60
pid=$(bg_pid bedtool writes "$disk" "$first" 4096 300) || exit 1
wait_for_line "$line2" 30
end_corvane
show_corvane_output
expect_report "bedtool($pid)" "$line2" "submit_bio"
expect_equal "full reports" "$(report_count 'direct write ')" 1
expect_line "coalesced: 299 more identical reports of bedtool($pid) direct write ext4's metadata: $range on device wwid: $wwid in the last "
expect_line "corvane stopped: 300 reports, 0 lost"
expect_line "reports: 1 shown in full, 299 coalesced, 0 held back, 0 lost to the ring buffer"

# 100 distinct blocks of the inode tables at 10 full reports a second (on a new file system:
# the one before lost its first inodes, which its analysis reads).
mkfs_ext4 -b 4096 "$disk"
start_corvane --coalesce 0 --report-budget 10 "$disk"
wait_for_line "start monitor!" 60
run dd if=/dev/zero of="$disk" bs=4096 count=100 seek="$itable" oflag=direct conv=notrunc
wait_for_line "held back: " 30
end_corvane
show_corvane_output
counts=$(sed -n 's/^reports: \([0-9]*\) shown in full, \([0-9]*\) coalesced, \([0-9]*\) held back, \([0-9]*\) lost to the ring buffer$/\1 \2 \3 \4/p' "$CORVANE_OUT")
[ -n "$counts" ] || fail "no closing breakdown"
set -- $counts
expect_equal "full reports" "$(report_count 'direct write ')" "$1"
expect_equal "shown + held back" $(($1 + $3)) 100
held=$(sed -n 's/^held back: \([0-9]*\) reports\{0,1\} in the last second (budget 10\/s).*/\1/p' "$CORVANE_OUT" | awk '{ n += $1 } END { print n + 0 }')
expect_equal "held back, summed per second" "$held" "$3"

mkfs_ext4 -b 4096 "$disk"
start_corvane --format json "$disk"
wait_for_line '"event":"started"' 60
pid=$(bg_pid bedtool writes "$disk" "$first" 4096 1) || exit 1
wait_for_line '"event":"write"' 30
end_corvane
show_corvane_output
record=$(grep '"event":"write"' "$CORVANE_OUT")
for field in '"schema":1' '"operation":"write"' "\"wwid\":\"$wwid\"" \
  "\"range\":{\"first\":$first,\"second\":$((first + 4096)),\"length\":4096}" \
  "\"name\":\"bedtool\",\"pid\":$pid" '"symbol":"submit_bio_noacct"'; do
  case $record in *"$field"*) ok "record has $field" ;; *) fail "record without $field" ;; esac
done
expect_line '"event":"stopped","reports":1,"shown":1'
expect_no_line "direct write ext4's metadata"
exit 0
