# dm-multipath over two paths to one LUN, ext4 on it: a rogue write through the multipath
# device is reported on the LUN's WWID at the LUN's offset.
#
# corvane watches the LUN through one of its paths (the same disk by WWID), so that the
# test depends only on the in-kernel descent through the multipath table: its user-space
# resolution of the multipath device is tried first and its outcome logged.
. /bed/lib.sh

disk=$(make_disk c0ffee41) || exit 1
path2=$(add_path "$disk") || exit 1
wwid=$(disk_wwid_hex "$disk")
mp=$(dm_multipath probemp "$disk" "$path2") || exit 1
mkfs_ext4 "$mp"
bs=$(ext4_block_size "$mp")
itable=$(ext4_inode_table_block "$mp")

run_corvane 20 "$mp"
if grep -q "start monitor!" "$CORVANE_OUT"; then
  log "user-space resolution of $mp works"
else
  log "note: corvane could not resolve $mp in user space: $(grep -m1 -i 'error\|fail' "$CORVANE_OUT")"
fi

start_corvane "$disk"
wait_for_line "start monitor!" 60
expect_line "wwid: $wwid"
first=$((itable * bs))
page=$((first / 4096 * 4096))
# busybox dd cannot align its buffer for O_DIRECT on a device-mapper device and writes
# through the page cache: seen at write(2) and again at the write-back when dd syncs.
pid=$(bg_pid dd if=/dev/zero of="$mp" bs="$bs" count=1 seek="$itable" conv=notrunc,fsync) || exit 1
wait_for_line "direct write ext4's metadata: [$page," 30
expect_report "dd($pid)" "buffered write ext4's metadata: [$first, $((first + bs))) (+$bs) on device wwid: $wwid" "blkdev_write_iter|vfs_write"
expect_report "dd($pid)" "direct write ext4's metadata: [$page, $((page + 4096))) (+4096) on device wwid: $wwid" "submit_bio"
# O_DIRECT through the second path directly.
pid=$(bg_pid dd if=/dev/zero of="$path2" bs="$bs" count=1 seek="$itable" oflag=direct conv=notrunc) || exit 1
i=0
while [ "$(count_lines "direct write ext4's metadata: [$first, $((first + bs)))")" -lt 1 ] && [ $i -lt 100 ]; do usleep 200000; i=$((i + 1)); done
expect_report "dd($pid)" "direct write ext4's metadata: [$first, $((first + bs))) (+$bs) on device wwid: $wwid" "blkdev|submit_bio"
end_corvane
show_corvane_output
exit 0
