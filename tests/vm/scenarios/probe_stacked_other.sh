# Stacking drivers over a watched disk that corvane does not watch through: a dm-crypt
# device (followed from its top) and dm-delay devices (another target, issued at once and
# from its worker), each over the partition of a watched ext4. A write through each into
# the ext4's first inode table is reported exactly once, with the partition's offset on
# the disk.
. /bed/lib.sh

disk=$(make_disk c0ffee96) || exit 1
wwid=$(disk_wwid_hex "$disk")
partition "$disk" 200M
part=$(part_node "$disk" 1)
mkfs_ext4 -b 4096 "$part"
itable=$(ext4_inode_table_block "$part")
first=$(( $(part_start "$part") * 512 + itable * 4096 ))
expected="direct write ext4's metadata: [$first, $((first + 4096))) (+4096) on device wwid: $wwid"
sectors=$(size_sectors "$part")
key=000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f
crypt=$(dm_create othercrypt "0 $sectors crypt aes-cbc-plain64 $key 0 $(dev_majmin "$part") 0") || exit 1
now=$(dm_create otherdelay0 "0 $sectors delay $(dev_majmin "$part") 0 0") || exit 1
later=$(dm_create otherdelay50 "0 $sectors delay $(dev_majmin "$part") 0 50") || exit 1

BED_LINEBUF=1 start_corvane "$part"
wait_for_line "start monitor!" 60

n=0
for dev in "$crypt" "$now" "$later"; do
  pid=$(bg_pid bedtool writes "$dev" $((itable * 4096)) 4096 1) || exit 1
  n=$((n + 1))
  i=0
  while [ "$(count_lines "$expected")" -lt $n ] && [ $i -lt 100 ]; do usleep 200000; i=$((i + 1)); done
  [ "$(count_lines "$expected")" -ge $n ] || fail "the write through $dev was not reported"
  [ "$dev" = "$later" ] || expect_report "bedtool($pid)" "$expected" "submit_bio"
done
usleep 1000000
end_corvane
show_corvane_output
expect_equal "reports" "$(count_lines "$expected")" 3
expect_equal "direct write reports" "$(report_count 'direct write ')" 3
exit 0
