# ext4 on a two-stripe dm-striped device over two disks, watched through the striped
# device: the map lists both disks; ordinary use is quiet; a rogue write into the first
# inode table through the striped device, and one through the lower disk that holds that
# chunk, are reported with that disk's WWID at the offset dm-striped maps it to.
. /bed/lib.sh

d0=$(make_disk c0ffee93) || exit 1
d1=$(make_disk c0ffee94) || exit 1
chunk=128 # sectors: 64 KiB
size=$(size_sectors "$d0")
stripe=$(dm_create probestripe "0 $((2 * size)) striped 2 $chunk $(dev_majmin "$d0") 0 $(dev_majmin "$d1") 0") || exit 1
dmsetup table probestripe >&2
mkfs_ext4 -b 4096 "$stripe"
itable=$(ext4_inode_table_block "$stripe")

# Where dm-striped puts the inode table's first block: chunk c of the device is chunk
# c / 2 of stripe c % 2.
off=$((itable * 4096))
c=$((off / (chunk * 512)))
lower_off=$(((c / 2) * chunk * 512 + off % (chunk * 512)))
if [ $((c % 2)) = 0 ]; then lower=$d0; else lower=$d1; fi
wwid=$(disk_wwid_hex "$lower")
expected="direct write ext4's metadata: [$lower_off, $((lower_off + 4096))) (+4096) on device wwid: $wwid"
log "inode table block $itable: chunk $c on $lower at byte $lower_off"

BED_LINEBUF=1 start_corvane "$stripe"
wait_for_line "start monitor!" 60
expect_line "wwid: $(disk_wwid_hex "$d0")"
expect_line "wwid: $(disk_wwid_hex "$d1")"

mkdir -p /mnt/s
run mount -t ext4 "$stripe" /mnt/s
for i in 1 2 3; do
  run mkdir /mnt/s/d$i
  run dd if=/dev/urandom of=/mnt/s/d$i/f bs=64k count=8
done
run sync
run umount /mnt/s
usleep 500000
expect_no_line "direct write"
expect_no_line "buffered write"

pid=$(bg_pid bedtool writes "$stripe" "$off" 4096 1) || exit 1
wait_for_line "$expected" 30
expect_report "bedtool($pid)" "$expected" "submit_bio"
pid=$(bg_pid bedtool writes "$lower" "$lower_off" 4096 1) || exit 1
i=0
while [ "$(count_lines "$expected")" -lt 2 ] && [ $i -lt 100 ]; do usleep 200000; i=$((i + 1)); done
end_corvane
show_corvane_output
expect_report "bedtool($pid)" "$expected" "submit_bio"
expect_equal "reports" "$(count_lines "$expected")" 2
expect_equal "direct write reports" "$(report_count 'direct write ')" 2
exit 0
