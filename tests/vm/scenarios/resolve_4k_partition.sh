# A partition on a disk with 4096-byte logical blocks: the kernel gives the partition's
# start in 512-byte sectors whatever the disk's block size, so the watched ranges must move
# by start x 512 bytes onto the disk.
. /bed/lib.sh
. /bed/resolution.sh

disk=$(BED_BLOCK_SIZE=4096 make_disk 4b0c0001) || exit 1
expect_equal "logical block size of $disk" "$(hw_sector_size "$disk")" 4096
partition "$disk" 32M 64M
p2=$(part_node "$disk" 2)

# The unit of sysfs "start", checked against the partition table itself (sfdisk counts
# the disk's logical blocks).
table_start=$(sfdisk -d "$disk" | awk -v p="$p2" '$1 == p { gsub(/[^0-9]/, "", $4); print $4 }')
log "$p2: sfdisk start $table_start (4096-byte blocks), sysfs start $(part_start "$p2")"
expect_equal "partition start in bytes" $(($(part_start "$p2") * 512)) $((table_start * 4096))

mkfs_ext4 "$p2"
analyse "$p2"
expect_line "is partition"
expect_partition_shift "$p2"
expect_wwid "$disk"
exit 0
