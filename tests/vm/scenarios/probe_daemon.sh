# -d: the map listing and every report also go to the system log (busybox syslogd).
. /bed/lib.sh

syslogd -n -O /tmp/messages &
slpid=$!
usleep 300000
disk=$(make_disk c0ffee61) || exit 1
wwid=$(disk_wwid_hex "$disk")
mkfs_ext4 "$disk"
bs=$(ext4_block_size "$disk")
itable=$(ext4_inode_table_block "$disk")
start_corvane -d "$disk"
wait_for_line "start monitor!" 60
first=$((itable * bs))
line2="direct write ext4's metadata: [$first, $((first + bs))) (+$bs) on device wwid: $wwid"
pid=$(bg_pid dd if=/dev/zero of="$disk" bs="$bs" count=1 seek="$itable" oflag=direct conv=notrunc) || exit 1
wait_for_line "$line2" 30
expect_report "dd($pid)" "$line2"
usleep 500000
kill "$slpid"
end_corvane
echo "--- /tmp/messages ---"; cat /tmp/messages; echo "---"
expect_regex "vorel-corvane\[[0-9]+\]" /tmp/messages
expect_line "wwid: $wwid" /tmp/messages
expect_line "dd($pid)" /tmp/messages
expect_line "$line2" /tmp/messages
exit 0
