# ext4 on dm-crypt, watched through the crypt device: its own use (dm-crypt's worker
# threads write the encrypted blocks), sync and unmount are quiet; a raw write into its
# first inode table through the partition under it, and one through the crypt device, are
# reported with the disk's WWID at the partition's offset.
. /bed/lib.sh

disk=$(make_disk c0ffee95) || exit 1
wwid=$(disk_wwid_hex "$disk")
partition "$disk" 200M
part=$(part_node "$disk" 1)
key=000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f
crypt=$(dm_create probecrypt "0 $(size_sectors "$part") crypt aes-cbc-plain64 $key 0 $(dev_majmin "$part") 0") || exit 1
mkfs_ext4 -b 4096 "$crypt"
itable=$(ext4_inode_table_block "$crypt")
first=$(( $(part_start "$part") * 512 + itable * 4096 ))
expected="direct write ext4's metadata: [$first, $((first + 4096))) (+4096) on device wwid: $wwid"

BED_LINEBUF=1 start_corvane "$crypt"
wait_for_line "start monitor!" 60
expect_line "wwid: $wwid"
expect_no_line "$key"

mkdir -p /mnt/c
run mount -t ext4 "$crypt" /mnt/c
for i in $(seq 1 20); do echo "$i" >/mnt/c/small$i; done
run dd if=/dev/urandom of=/mnt/c/big bs=64k count=16
run mkdir /mnt/c/dir
run sync
echo 1 >/proc/sys/vm/drop_caches
run umount /mnt/c
usleep 500000
expect_no_line "direct write"
expect_no_line "buffered write"

pid=$(bg_pid bedtool writes "$part" $((itable * 4096)) 4096 1) || exit 1
wait_for_line "$expected" 30
expect_report "bedtool($pid)" "$expected" "submit_bio"
pid=$(bg_pid bedtool writes "$crypt" $((itable * 4096)) 4096 1) || exit 1
i=0
while [ "$(count_lines "$expected")" -lt 2 ] && [ $i -lt 100 ]; do usleep 200000; i=$((i + 1)); done
end_corvane
show_corvane_output
expect_report "bedtool($pid)" "$expected" "submit_bio"
expect_equal "reports" "$(count_lines "$expected")" 2
exit 0
