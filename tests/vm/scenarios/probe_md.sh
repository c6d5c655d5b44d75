# md (software RAID), a stacking driver corvane does not resolve, over a watched disk: a
# write through a raid1 and a raid0 array whose member 0 is the partition of a watched
# ext4 reaches that partition at submit_bio_noacct and is reported exactly once, with the
# watched disk's WWID and the range on that disk. The mirror's copy on the other member,
# a raid0 write that lands on the other member only, and the arrays' assembly and stop
# are not reported.
#
# The arrays carry no metadata (md_create): md writes no superblock, no write-intent
# bitmap and, with the members taken as in sync, no resync, so every write that reaches
# the watched partition is one made through an array. Members map from their first
# sector: raid1 offsets are the partition's, raid0 puts chunk k of member 0 at array
# chunk 2k.
. /bed/lib.sh

disk=$(make_disk c0ffee97) || exit 1
other=$(make_disk c0ffee98) || exit 1
wwid=$(disk_wwid_hex "$disk")
partition "$disk" 200M
part=$(part_node "$disk" 1)
mkfs_ext4 -b 4096 "$part"
inode_table=$(($(ext4_inode_table_block "$part") * 4096))
first=$(($(part_start "$part") * 512 + inode_table))
expected="direct write ext4's metadata: [$first, $((first + 4096))) (+4096) on device wwid: $wwid"
member_kib=$(($(size_sectors "$part") / 2))
chunk=65536

# wait_reports N: waits until N writes into the inode table were reported.
wait_reports() {
  local i=0
  while [ "$(count_lines "$expected")" -lt "$1" ] && [ $i -lt 100 ]; do usleep 200000; i=$((i + 1)); done
  [ "$(count_lines "$expected")" -ge "$1" ] || fail "the write through the array was not reported"
}

BED_LINEBUF=1 start_corvane "$part"
wait_for_line "start monitor!" 60

mirror=$(md_create md_bedmirror raid1 0 "$member_kib" "$part" "$other") || exit 1
cat /proc/mdstat >&2
expect_equal "mirror's sync action" "$(cat /sys/block/md_bedmirror/md/sync_action)" idle
pid=$(bg_pid bedtool writes "$mirror" "$inode_table" 4096 1) || exit 1
wait_reports 1
expect_report "bedtool($pid)" "$expected" "raid1_"
md_stop "$mirror"

stripes=$(md_create md_bedstripes raid0 $((chunk / 1024)) "$member_kib" "$part" "$other") || exit 1
on_member0=$((inode_table / chunk * 2 * chunk + inode_table % chunk))
pid=$(bg_pid bedtool writes "$stripes" "$on_member0" 4096 1) || exit 1
wait_reports 2
expect_report "bedtool($pid)" "$expected" "raid0_"
# The next chunk is member 1's: the same offset on the unwatched disk.
bg_pid bedtool writes "$stripes" $((on_member0 + chunk)) 4096 1 >/dev/null || exit 1
md_stop "$stripes"

usleep 1000000
end_corvane
show_corvane_output
expect_equal "inode table reports" "$(count_lines "$expected")" 2
expect_line "corvane stopped: 2 reports, 0 lost"
exit 0
