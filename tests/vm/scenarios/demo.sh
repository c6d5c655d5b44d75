# Demonstration: corvane watches ext4 on a partition of a SCSI disk. Ordinary use of the
# file system is not reported as a write; a rogue direct write over the inode table is,
# with the writer, the metadata range hit, the disk's WWID and the kernel stack.
. /bed/lib.sh

say() { printf '\n==> %s\n' "$*" >&2; }

say "A SCSI disk from the kernel's LIO target, one GPT partition, ext4 on it"
disk=$(make_disk dec0de01) || exit 1
partition "$disk" -
part=$(part_node "$disk" 1)
log "$disk: wwid $(disk_wwid "$disk")"
mkfs_ext4 "$part"
bs=$(ext4_block_size "$part")
itable=$(ext4_inode_table_block "$part")
log "$part: block size $bs, inode table of group 0 at block $itable"

say "Starting: corvane $part"
BED_SHOW=1 start_corvane "$part"
seen=$(wait_for_any 120 "start monitor!" "start bpf failed" "No file system needs to be monitored.") || seen=
if [ "$seen" != "start monitor!" ]; then
  stop_corvane
  fail "corvane did not start monitoring (${seen:-no start line}, status $(corvane_running && echo running || { reap_corvane; echo "$CORVANE_STATUS"; }))"
fi

say "Ordinary use: mount, write files, sync, unmount (mounts are reported, writes are not)"
mkdir -p /mnt/demo
run mount -t ext4 "$part" /mnt/demo
sleep 1
for i in 1 2 3; do
  run dd if=/dev/urandom of=/mnt/demo/file$i bs=64k count=8
done
run mkdir /mnt/demo/dir
run sync
run umount /mnt/demo
sleep 2
expect_no_line "direct write"
expect_no_line "buffered write"

say "Rogue write: dd over the inode table of $part, bypassing the file system"
run dd if=/dev/urandom of="$part" bs="$bs" count=1 seek="$itable" oflag=direct conv=notrunc
wait_for_line "direct write ext4's metadata" 30
sleep 1
stop_corvane

say "What the file-system check now finds"
e2fsck -fn "$part" 2>&1 | head -n 8 >&2
exit 0
