# Buffered writes through files (xfs uses the iomap layer): the buffered-write probe places
# a write at the disk address of the file's extent (partition start + extent address + offset
# in the extent), never at its file offset. A file written at the file offset of the second
# allocation group's header, then overwritten in place, gives no report; the probe's debug
# line shows the extent's disk address.
. /bed/lib.sh

disk=$(make_disk c0ffee91 1024) || exit 1
wwid=$(disk_wwid_hex "$disk")
partition "$disk" 600M
p1=$(part_node "$disk" 1)
mkfs_xfs "$p1"
pstart=$(( $(part_start "$p1") * 512 ))
xbs=$(xfs_db -r -c "sb 0" -c "p blocksize" "$p1" | sed -n 's/^blocksize = //p')
agblocks=$(xfs_db -r -c "sb 0" -c "p agblocks" "$p1" | sed -n 's/^agblocks = //p')
ag1=$((agblocks * xbs))

start_corvane -m 1 "$p1"
wait_for_line "start monitor!" 60
expect_regex "attach monitor_iomap_write_iter: (fentry iomap_write_iter|fexit iomap_iter|kprobe iomap_write_iter|kprobe\+kretprobe iomap_iter)"
mkdir -p /mnt/x
run mount -t xfs "$p1" /mnt/x
# New blocks at the file offset of AG 1's header: delayed allocation, placed at write-back.
run dd if=/dev/urandom of=/mnt/x/f bs=4096 count=4 seek=$((ag1 / 4096)) conv=fsync
run umount /mnt/x

run mount -t xfs "$p1" /mnt/x
ino=$(stat -c %i /mnt/x/f)
bmap=$(xfs_db -r -c "inode $ino" -c "bmap" "$p1")
log "bmap of inode $ino: $bmap"
agno=$(echo "$bmap" | sed -n 's/.*(\([0-9]*\)\/\([0-9]*\)).*/\1/p' | head -n 1)
agbno=$(echo "$bmap" | sed -n 's/.*(\([0-9]*\)\/\([0-9]*\)).*/\2/p' | head -n 1)
[ -n "$agno" ] && [ -n "$agbno" ] || fail "cannot read the file's extent"
# Overwrite the second block in place: a mapped extent, seen by the buffered-write probe.
trace_clear
run dd if=/dev/zero of=/mnt/x/f bs=4096 count=1 seek=$((ag1 / 4096 + 1)) conv=notrunc
first=$((pstart + (agno * agblocks + agbno) * xbs + 4096))
trace_text | grep "iomap_write_iter find range" | head -n 5 >&2
trace_text | grep -q "iomap_write_iter find range: .*: \[$first, $((first + 4096)))" ||
  fail "no buffered-write probe line for disk bytes [$first, $((first + 4096)))"
ok "buffered write placed at disk byte $first (file offset $((ag1 + 4096)))"
run umount /mnt/x
usleep 500000
end_corvane
expect_no_line "buffered write"
expect_no_line "direct write"
exit 0
