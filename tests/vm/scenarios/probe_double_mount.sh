# Double mounts follow the live instances over the watched ranges, whatever the order of
# mounts and unmounts: A, then B through the LUN's second path (double); B unmounted and
# mounted again while A lives (double again); A lazily unmounted while a file stays open,
# then B (double: A's instance still lives); all gone, then a plain mount. An instance
# mounted before corvane started is known too: a second one is a double mount.
. /bed/lib.sh

disk=$(make_disk c0ffee98) || exit 1
path2=$(add_path "$disk") || exit 1
wwid=$(disk_wwid_hex "$disk")
mkfs_ext4 "$disk"
size=$(( $(size_sectors "$disk") * 512 ))
plain="wanna mount a ext4 from ext4's metadata: [0, $size) (+$size) on device wwid: $wwid"
twice="wanna mount a ext4 from a mounted ext4's metadata: [0, $size) (+$size) on device wwid: $wwid"
mkdir -p /mnt/a /mnt/b

# wait_count TEXT N: waits until N lines contain TEXT.
wait_count() {
  local i=0
  while [ "$(count_lines "$1")" -lt "$2" ] && [ $i -lt 100 ]; do usleep 200000; i=$((i + 1)); done
  expect_equal "lines '$1'" "$(count_lines "$1")" "$2"
}

BED_LINEBUF=1 start_corvane "$disk"
wait_for_line "start monitor!" 60

run mount -t ext4 "$disk" /mnt/a
wait_count "$plain" 1
run mount -t ext4 "$path2" /mnt/b
wait_count "$twice" 1
run umount /mnt/b
run mount -t ext4 "$path2" /mnt/b
wait_count "$twice" 2
run umount /mnt/b

# A goes away lazily, but a file held open keeps its instance alive.
echo held >/mnt/a/held
exec 3</mnt/a/held
run umount -l /mnt/a
run mount -t ext4 "$path2" /mnt/b
wait_count "$twice" 3
run umount /mnt/b
exec 3<&-
usleep 500000

# Everything unmounted: a plain mount again.
run mount -t ext4 "$path2" /mnt/b
wait_count "$plain" 2
run umount /mnt/b
end_corvane

# Mounted before corvane starts.
run mount -t ext4 "$disk" /mnt/a
BED_LINEBUF=1 start_corvane "$disk"
wait_for_line "start monitor!" 60
run mount -t ext4 "$path2" /mnt/b
wait_count "$twice" 1
run umount /mnt/b
run umount /mnt/a
end_corvane
show_corvane_output
expect_no_line "direct write"
expect_no_line "buffered write"
exit 0
