# Signals never end monitoring silently: after SIGSTOP and SIGCONT (what Ctrl-Z and fg, or
# a debugger, do) a rogue write is still reported; SIGTERM detaches the probes cleanly: a
# closing line with the counts, status 0, and no program of corvane left in the kernel.
. /bed/lib.sh

disk=$(make_disk c0ffeec1) || exit 1
wwid=$(disk_wwid_hex "$disk")
mkfs_ext4 -b 4096 "$disk"
itable=$(ext4_inode_table_block "$disk")
first=$((itable * 4096))

BED_LINEBUF=1 start_corvane "$disk"
wait_for_line "start monitor!" 60
kill -STOP "$CORVANE_PID"
sleep 1
kill -CONT "$CORVANE_PID"
sleep 1
corvane_running || fail "corvane ended after SIGSTOP and SIGCONT"
pid=$(bg_pid bedtool writes "$disk" "$first" 4096 1) || exit 1
wait_for_line "direct write ext4's metadata: [$first," 30
expect_report "bedtool($pid)" "direct write ext4's metadata: [$first, $((first + 4096))) (+4096) on device wwid: $wwid" "submit_bio"

stop_corvane
expect_equal "status after SIGTERM" "$CORVANE_STATUS" 0
expect_line "corvane stopped: 1 reports, 0 lost"
i=0
while bpftool prog show 2>/dev/null | grep -q " name monitor_" && [ $i -lt 100 ]; do usleep 200000; i=$((i + 1)); done
[ -z "$(bpftool prog show 2>/dev/null | grep ' name monitor_')" ] || fail "programs of corvane left in the kernel"
exit 0
