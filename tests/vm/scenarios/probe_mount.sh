# Mount marks: a first mount is reported as a mount; unmounting and mounting again gives a
# mount again (the marks went with the unmounted instance); a second instance of the same
# LUN mounted through its second path while the first is mounted is a double mount.
. /bed/lib.sh

disk=$(make_disk c0ffee51) || exit 1
path2=$(add_path "$disk") || exit 1
wwid=$(disk_wwid_hex "$disk")
mkfs_ext4 "$disk"
size=$(( $(size_sectors "$disk") * 512 ))
mkdir -p /mnt/a /mnt/b

start_corvane -m 1 "$disk"
wait_for_line "start monitor!" 60
trace_clear

plain="wanna mount a ext4 from ext4's metadata: [0, $size) (+$size) on device wwid: $wwid"
twice="wanna mount a ext4 from a mounted ext4's metadata: [0, $size) (+$size) on device wwid: $wwid"

pid=$(bg_pid mount -t ext4 "$disk" /mnt/a) || exit 1
wait_for_line "wanna mount" 30
expect_report "mount($pid)" "$plain" "vfs_create_mount|path_mount|do_new_mount"
# The stack starts at the probed function, then its direct caller (which a kprobe on arm64
# finds in the link register, not yet on the stack).
expect_frames "mount($pid)" "$plain" vfs_create_mount "path_mount|do_new_mount"
run umount /mnt/a

pid=$(bg_pid mount -t ext4 "$disk" /mnt/a) || exit 1
i=0
while [ "$(count_lines "$plain")" -lt 2 ] && [ $i -lt 100 ]; do usleep 200000; i=$((i + 1)); done
expect_report "mount($pid)" "$plain"
expect_no_line "a mounted ext4"

# Second instance through the other path: ext4 does not know it is the same LUN.
pid=$(bg_pid mount -t ext4 "$path2" /mnt/b) || exit 1
wait_for_line "from a mounted ext4's metadata" 30
expect_report "mount($pid)" "$twice" "vfs_create_mount|path_mount|do_new_mount"
run umount /mnt/b
run umount /mnt/a

# Both gone: a new mount is a plain one again.
pid=$(bg_pid mount -t ext4 "$path2" /mnt/b) || exit 1
i=0
while [ "$(count_lines "$plain")" -lt 3 ] && [ $i -lt 100 ]; do usleep 200000; i=$((i + 1)); done
expect_report "mount($pid)" "$plain"
expect_equal "double mounts" "$(count_lines "$twice")" 1
run umount /mnt/b
end_corvane
show_corvane_output
expect_no_line "direct write"
expect_no_line "buffered write"
exit 0
