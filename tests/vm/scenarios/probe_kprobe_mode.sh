# The kprobe programs on a kernel that can attach fentry/fexit ones as well
# (CORVANE_ATTACH_MODE=kprobe): every probe loads and attaches at the same function, a rogue
# O_DIRECT write over ext4's inode table and a mount are reported with stacks that start at
# the probed function and its caller, and an in-place buffered overwrite of an xfs file is
# placed by the kretprobe on iomap_iter, with the iterator its entry kprobe kept.
. /bed/lib.sh

[ -z "$(no_fentry_reason)" ] || skip "kprobes are what this kernel attaches anyway"

disk=$(make_disk c0ffeea1 1024) || exit 1
wwid=$(disk_wwid_hex "$disk")
partition "$disk" 96M -
part=$(part_node "$disk" 1)
xpart=$(part_node "$disk" 2)
mkfs_ext4 "$part"
mkfs_xfs "$xpart"
bs=$(ext4_block_size "$part")
itable=$(ext4_inode_table_block "$part")
first=$(( $(part_start "$part") * 512 + itable * bs ))

export CORVANE_ATTACH_MODE=kprobe
start_corvane -m 1 "$part" "$xpart"
unset CORVANE_ATTACH_MODE
wait_for_line "start monitor!" 60
expect_line "attach mode: kprobe (CORVANE_ATTACH_MODE)"
expect_line "attach monitor_submit_bio: kprobe submit_bio_noacct"
expect_line "attach monitor_iomap_write_iter: kprobe+kretprobe iomap_iter"
[ "$(grep -c '^attach .*: none$' "$CORVANE_OUT")" = 0 ] || fail "a probe has no attach point"
expect_no_line "cannot attach"

mkdir -p /mnt/k /mnt/kx
pid=$(bg_pid mount -t ext4 "$part" /mnt/k) || exit 1
line="wanna mount a ext4 from ext4's metadata: [$(( $(part_start "$part") * 512 ))"
wait_for_line "$line" 30
second=$(grep -F "$line" "$CORVANE_OUT" | head -n 1)
expect_frames "mount($pid)" "$second" vfs_create_mount "path_mount|do_new_mount"
run umount /mnt/k

pid=$(bg_pid dd if=/dev/zero of="$part" bs="$bs" count=1 seek="$itable" oflag=direct conv=notrunc) || exit 1
second="direct write ext4's metadata: [$first, $((first + bs))) (+$bs) on device wwid: $wwid"
wait_for_line "$second" 30
expect_frames "dd($pid)" "$second" submit_bio_noacct "submit_bio|submit_bio_wait"

run mount -t xfs "$xpart" /mnt/kx
run dd if=/dev/urandom of=/mnt/kx/f bs=4096 count=4 conv=fsync
trace_clear
run dd if=/dev/zero of=/mnt/kx/f bs=4096 count=1 seek=1 conv=notrunc
trace_text | grep -q "iomap_write_iter find range: " ||
  fail "no buffered-write probe line for the in-place overwrite"
ok "buffered overwrite seen at iomap_iter's return"
run umount /mnt/kx
end_corvane
expect_equal "direct write reports" "$(report_count 'direct write ')" 1
expect_no_line "buffered write"
exit 0
