# The journal of ext4 and the log of xfs are watched: ordinary use, an fsync storm and
# unmount are quiet; a rogue write into a block of each is reported at the byte range
# that debugfs (journal block map) and xfs_db (log start) give for it.
. /bed/lib.sh

disk=$(make_disk c0ffee99 1024) || exit 1
wwid=$(disk_wwid_hex "$disk")
partition "$disk" 300M -
e4=$(part_node "$disk" 1)
xf=$(part_node "$disk" 2)
mkfs_ext4 -b 4096 "$e4"
mkfs_xfs "$xf"
jblock=$(ext4_journal_block "$e4" 10)
[ -n "$jblock" ] && [ "$jblock" -gt 0 ] || fail "debugfs gave no block for journal block 10"
ejournal=$(( $(part_start "$e4") * 512 + jblock * 4096 ))
xbs=$(xfs_db -r -c "sb 0" -c "p blocksize" "$xf" | awk '{ print $3 }')
agblocks=$(xfs_db -r -c "sb 0" -c "p agblocks" "$xf" | awk '{ print $3 }')
agblklog=$(xfs_db -r -c "sb 0" -c "p agblklog" "$xf" | awk '{ print $3 }')
logstart=$(xfs_db -r -c "sb 0" -c "p logstart" "$xf" | awk '{ print $3 }')
logblock=$(( (logstart >> agblklog) * agblocks + (logstart & ((1 << agblklog) - 1)) + 8 ))
xlog=$(( $(part_start "$xf") * 512 + logblock * xbs ))
log "ext4 journal block 10 at fs block $jblock; xfs log start $logstart, block 8 of it at fs block $logblock"

mkdir -p /mnt/e /mnt/x
run mount -t ext4 "$e4" /mnt/e
run mount -t xfs "$xf" /mnt/x
BED_LINEBUF=1 start_corvane "$e4" "$xf"
wait_for_line "start monitor!" 60
for dir in /mnt/e /mnt/x; do
  for i in $(seq 1 40); do dd if=/dev/urandom of=$dir/f$i bs=4k count=1 conv=fsync 2>/dev/null; done
  run mkdir $dir/d
  rm -f $dir/f1 $dir/f2
done
run sync
run umount /mnt/e
run umount /mnt/x
usleep 500000
expect_no_line "direct write"
expect_no_line "buffered write"

pid=$(bg_pid bedtool writes "$e4" $((jblock * 4096)) 4096 1) || exit 1
wait_for_line "direct write ext4's metadata: [$ejournal," 30
expect_report "bedtool($pid)" "direct write ext4's metadata: [$ejournal, $((ejournal + 4096))) (+4096) on device wwid: $wwid" "submit_bio"
pid=$(bg_pid bedtool writes "$xf" $((logblock * xbs)) "$xbs" 1) || exit 1
wait_for_line "direct write xfs's metadata: [$xlog," 30
expect_report "bedtool($pid)" "direct write xfs's metadata: [$xlog, $((xlog + xbs))) (+$xbs) on device wwid: $wwid" "submit_bio"
end_corvane
expect_equal "direct write reports" "$(report_count 'direct write ')" 2
exit 0
