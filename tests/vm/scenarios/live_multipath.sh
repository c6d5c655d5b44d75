# A multipath device losing one of its two paths and getting it back: corvane follows (the
# kernel announces each change), and a rogue write through the multipath device into the
# ext4's first inode table is reported after each change.
. /bed/lib.sh

disk=$(make_disk c0ffeeb3) || exit 1
path2=$(add_path "$disk") || exit 1
wwid=$(disk_wwid_hex "$disk")
mp=$(dm_multipath livemp "$disk" "$path2") || exit 1
mkfs_ext4 -b 4096 "$mp"
itable=$(ext4_inode_table_block "$mp")
expected="direct write ext4's metadata: [$((itable * 4096)), $((itable * 4096 + 4096))) (+4096) on device wwid: $wwid"

BED_LINEBUF=1 start_corvane "$mp"
wait_for_line "start monitor!" 60

n=0
for step in "fail_path $(dev_majmin "$disk")" "reinstate_path $(dev_majmin "$disk")" "fail_path $(dev_majmin "$path2")"; do
  run dmsetup message livemp 0 "$step"
  usleep 500000
  bg_pid bedtool writes "$mp" $((itable * 4096)) 4096 1 >/dev/null || exit 1
  n=$((n + 1))
  i=0
  while [ "$(count_lines "$expected")" -lt $n ] && [ $i -lt 100 ]; do usleep 200000; i=$((i + 1)); done
  expect_equal "reports after $step" "$(count_lines "$expected")" $n
done
end_corvane
show_corvane_output
exit 0
