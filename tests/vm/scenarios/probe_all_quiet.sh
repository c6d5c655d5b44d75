# With -a the whole ext4 is watched: a swap file on it being swapped to and from, and
# metadata churn with journal commits and write-back, give no write report, while a rogue
# write into its data area does.
. /bed/lib.sh

disk=$(make_disk c0ffee97 512) || exit 1
wwid=$(disk_wwid_hex "$disk")
partition "$disk" 400M
part=$(part_node "$disk" 1)
mkfs_ext4 -b 4096 "$part"
mkdir -p /mnt/a
run mount -t ext4 "$part" /mnt/a
run dd if=/dev/zero of=/mnt/a/swapfile bs=1M count=64
chmod 600 /mnt/a/swapfile
run mkswap /mnt/a/swapfile >/dev/null

BED_LINEBUF=1 start_corvane -a "$part"
wait_for_line "start monitor!" 60
run swapon /mnt/a/swapfile

# A process held to 16 MiB of memory that uses 48 MiB swaps out and in.
mkdir -p /sys/fs/cgroup
mount -t cgroup2 none /sys/fs/cgroup 2>/dev/null
echo +memory >/sys/fs/cgroup/cgroup.subtree_control
mkdir -p /sys/fs/cgroup/squeeze
echo 16M >/sys/fs/cgroup/squeeze/memory.max
sh -c 'echo $$ >/sys/fs/cgroup/squeeze/cgroup.procs && exec bedtool eat 48' || fail "bedtool eat failed"
swapped=$(awk '/\/mnt\/a\/swapfile/ { print $4 }' /proc/swaps)
out=$(awk '/^pswpout / { print $2 }' /proc/vmstat)
log "swap file pages in use after the squeeze: ${swapped:-?} KiB; pages swapped out: $out"
[ "${out:-0}" -gt 0 ] || fail "nothing was swapped out: the squeeze did not work"

for round in 1 2 3; do
  for i in $(seq 1 30); do echo "$round $i" >/mnt/a/f$i; done
  run mkdir /mnt/a/dir$round
  rm -f /mnt/a/f1 /mnt/a/f2
  run sync
done
usleep 500000
expect_no_line "direct write"
expect_no_line "buffered write"
run swapoff /mnt/a/swapfile
run umount /mnt/a

# The last 4 KiB of the partition lie in file data.
seek=$(( $(size_sectors "$part") / 8 - 1 ))
first=$(( $(part_start "$part") * 512 + seek * 4096 ))
pid=$(bg_pid bedtool writes "$part" $((seek * 4096)) 4096 1) || exit 1
wait_for_line "direct write ext4's metadata: [$first," 30
end_corvane
show_corvane_output
expect_report "bedtool($pid)" "direct write ext4's metadata: [$first, $((first + 4096))) (+4096) on device wwid: $wwid" "submit_bio"
expect_equal "direct write reports" "$(report_count 'direct write ')" 1
exit 0
