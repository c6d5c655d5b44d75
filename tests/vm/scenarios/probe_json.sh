# JSON lines on a real kernel: a rogue write, a mount, a double mount through the LUN's second
# path, the unmounts, a change of the watched set (SIGHUP), reports lost to a full ring and
# the closing record. Standard output carries the records alone; the guest checks their
# content against dumpe2fs and sysfs, the host validates every line against the published
# schema (tests/vm/host-checks/probe_json.sh).
. /bed/lib.sh

disk=$(make_disk c0ffeea4) || exit 1
path2=$(add_path "$disk") || exit 1
wwid=$(disk_wwid_hex "$disk")
mkfs_ext4 -b 4096 "$disk"
# The inode table's second block: its first holds the inodes the mounts need.
first=$(($(ext4_inode_table_block "$disk") * 4096 + 4096))
mkdir -p /mnt/a /mnt/b

# record EVENT: the one record of that kind.
record() {
  local n
  n=$(grep -c "\"event\":\"$1\"" "$CORVANE_OUT")
  [ "$n" = 1 ] || fail "$n records of event $1, expected 1"
  grep "\"event\":\"$1\"" "$CORVANE_OUT"
}

# has RECORD FIELD...: RECORD contains each FIELD text.
has() {
  local record=$1 field
  shift
  for field in "$@"; do
    case $record in *"$field"*) ok "has $field" ;; *) fail "record without $field: $record" ;; esac
  done
}

BED_SPLIT=1 start_corvane --format json "$disk"
wait_for_line '"event":"started"' 60
pid=$(bg_pid bedtool writes "$disk" "$first" 4096 1) || exit 1
wait_for_line '"event":"write"' 30
run mount -t ext4 "$disk" /mnt/a
wait_for_line '"event":"mount"' 30
run mount -t ext4 "$path2" /mnt/b
wait_for_line '"event":"double_mount"' 30
run umount /mnt/b
run umount /mnt/a
kill -HUP "$CORVANE_PID"
wait_for_line '"event":"watched_set_changed"' 30
# More writes than the ring holds, made while corvane cannot read it.
kill -STOP "$CORVANE_PID"
run bedtool writes "$disk" "$first" 4096 40000
kill -CONT "$CORVANE_PID"
wait_for_line '"event":"lost"' 120
end_corvane
bed_artifact "$CORVANE_OUT" records.json

has "$(record started)" '"schema":1' "\"wwid\":\"$wwid\""
has "$(grep '"event":"write"' "$CORVANE_OUT" | head -n 1)" '"operation":"write"' '"fs_type":"ext4"' \
  "\"wwid\":\"$wwid\"" "\"range\":{\"first\":$first,\"second\":$((first + 4096)),\"length\":4096}" \
  "\"name\":\"bedtool\",\"pid\":$pid" '"symbol":"submit_bio_noacct"' "\"device\":\"$(dev_majmin "$disk")\""
has "$(record mount)" "\"wwid\":\"$wwid\"" "\"device\":\"$(dev_majmin "$disk")\""
has "$(record double_mount)" "\"wwid\":\"$wwid\"" "\"device\":\"$(dev_majmin "$path2")\""
[ "$(grep -c '"event":"unmount"' "$CORVANE_OUT")" -ge 1 ] || fail "no unmount record"
has "$(record watched_set_changed)" 'SIGHUP'
has "$(record stopped)" '"event":"stopped"'
lost=$(record lost | sed -n 's/.*"reports_lost_total":\([0-9]*\).*/\1/p')
[ "${lost:-0}" -gt 0 ] || fail "no reports counted as lost"
ok "$lost reports counted as lost"
# Nothing but records on standard output; the human lines went to standard error.
expect_equal "lines that are not records" "$(grep -vc '^{"schema":1,' "$CORVANE_OUT")" 0
expect_line "start monitor!" "$CORVANE_OUT.err"
exit 0
