# Device resolution on real kernel devices: a whole SCSI disk, a partition, a dm-linear
# device over a partition of one disk and a window of another, and a multipath device.
# The debug lines of `corvane -m 1` are checked against sysfs and `dmsetup table`.
. /bed/lib.sh
. /bed/resolution.sh

d0=$(make_disk 2e50e001) || exit 1
d1=$(make_disk 2e50e002) || exit 1
d2=$(make_disk 2e50e003 64) || exit 1

# Whole disk: one SCSI entry, ranges unchanged.
mkfs_ext4 "$d2"
analyse "$d2"
expect_line "device parser: check destination device for $(dev_majmin "$d2")"
expect_line "is scsi"
expect_no_line "is partition"
expect_wwid "$d2"
expect_equal "facts other than fs ranges and the wwid" "$(grep -cv '^fs \|^wwid ' /tmp/facts)" 0

# Partition: ranges shifted by the partition's start onto the whole disk.
partition "$d0" 64M 4M -
p1=$(part_node "$d0" 1)
p2=$(part_node "$d0" 2)
log "$p1 start $(part_start "$p1"), $p2 start $(part_start "$p2"), sector $(hw_sector_size "$d0") bytes"
mkfs_ext4 "$p1"
analyse "$p1"
expect_line "is partition"
expect_line "old dev: $(dev_majmin "$p1")"
expect_line "new dev: $(dev_majmin "$d0")"
expect_partition_shift "$p1"
expect_equal "ranges on the disk" "$(sum_of partition 6 7)" "$(sum_of fs 2 3)"
expect_wwid "$d0"

# dm-linear: 4 MiB on a partition of d0, then 92 MiB of d1 from its sector 8192. ext4 with
# 1 KiB blocks puts the inode tables across the 4 MiB boundary, so a range is split.
s2=$(size_sectors "$p2")
lin=$(dm_create bedlin "0 $s2 linear $(dev_majmin "$p2") 0
$s2 188416 linear $(dev_majmin "$d1") 8192") || exit 1
dmsetup table bedlin >/tmp/table
cat /tmp/table >&2
mkfs_ext4 -b 1024 "$lin"
analyse "$lin"
expect_line "is device mapper"
expect_line "is linear"
lindev=$(dev_majmin "$lin")
n=0
while read -r kind old a b ws we new off x y; do
  [ "$kind" = linear ] || continue
  [ "$old" = "$lindev" ] || fail "linear fact for $old, expected $lindev"
  # The target whose window this is, from the live table.
  target=$(awk -v ws="$ws" '$1 * 512 == ws' /tmp/table)
  [ -n "$target" ] || fail "no target of the table starts at byte $ws"
  set -- $target
  expect_equal "window end of the target at $1" "$we" $((($1 + $2) * 512))
  expect_equal "device below the target at $1" "$new" "$4"
  expect_equal "offset of the target at $1" "$off" $(($5 * 512))
  lo=$a
  [ "$lo" -gt "$ws" ] || lo=$ws
  hi=$b
  [ "$hi" -lt "$we" ] || hi=$we
  [ "$x" -eq $((lo - ws + off)) ] && [ "$y" -eq $((hi - ws + off)) ] ||
    fail "[$a, $b) in [$ws, $we) became [$x, $y), expected [$((lo - ws + off)), $((hi - ws + off)))"
  n=$((n + 1))
done </tmp/facts
[ $n -gt 0 ] || fail "no linear mapping printed"
ok "$n linear mappings agree with the table"
expect_equal "ranges below the linear device" "$(sum_of linear 9 10)" "$(sum_of fs 2 3)"
split=$(awk '$1 == "linear" { n[$3 " " $4]++ } END { for (r in n) if (n[r] > 1) print r }' /tmp/facts | head -n 1)
[ -n "$split" ] || fail "no range was split between the two targets"
ok "range [$split) split between the targets"
expect_partition_shift "$p2"
expect_wwid "$d0"
expect_wwid "$d1"

# Multipath over two paths to one LUN: the first path is followed, offsets unchanged.
m0=$(make_disk 2e50e004 512) || exit 1
m1=$(add_path "$m0") || exit 1
mp=$(dm_multipath bedmp "$m0" "$m1") || exit 1
dmsetup table bedmp >&2
mkfs_xfs "$mp"
analyse "$mp"
expect_line "is device mapper"
expect_line "is multipath"
mpdev=$(dev_majmin "$mp")
we=$(($(size_sectors "$mp") * 512))
n=0
while read -r kind old a b ws we2 new x y; do
  [ "$kind" = multipath ] || continue
  [ "$old" = "$mpdev" ] || fail "multipath fact for $old, expected $mpdev"
  expect_equal "multipath window" "$ws $we2" "0 $we"
  expect_equal "path followed" "$new" "$(dev_majmin "$m0")"
  [ "$x" -eq "$a" ] && [ "$y" -eq "$b" ] || fail "[$a, $b) became [$x, $y) through multipath"
  n=$((n + 1))
done </tmp/facts
[ $n -gt 0 ] || fail "no multipath mapping printed"
ok "$n multipath mappings keep their offsets"
expect_wwid "$m0"
expect_no_line "$(dev_majmin "$m1")'s wwid"
exit 0
