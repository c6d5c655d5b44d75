# --mounted: started with nothing mounted, corvane watches an ext4 on a partition and an
# xfs on dm-linear as they are mounted; rogue writes into both are reported, also after
# they are unmounted. The monitor holds exactly its four capabilities, the resolver only
# CAP_SYS_ADMIN.
. /bed/lib.sh

d0=$(make_disk c0ffeeb5) || exit 1
d1=$(make_disk c0ffeeb6 512) || exit 1
partition "$d0" 100M
p1=$(part_node "$d0" 1)
lin=$(dm_linear livemnt "$d1") || exit 1
mkfs_ext4 -b 4096 "$p1"
mkfs_xfs "$lin"

BED_LINEBUF=1 start_corvane -M
wait_for_line "start monitor!" 60

# Capabilities: CAP_BPF, CAP_PERFMON, CAP_SYSLOG, CAP_DAC_READ_SEARCH; the resolver CAP_SYS_ADMIN.
caps() { awk -v k="$2:" '$1 == k { print $2 }' "/proc/$1/status"; }
expect_equal "monitor CapEff" "$(caps "$CORVANE_PID" CapEff)" 000000c400000004
expect_equal "monitor CapPrm" "$(caps "$CORVANE_PID" CapPrm)" 000000c400000004
resolver=$(grep -l "^PPid:[[:space:]]*$CORVANE_PID$" /proc/[0-9]*/status 2>/dev/null | head -n 1 | cut -d/ -f3)
[ -n "$resolver" ] || fail "no resolver process under corvane ($CORVANE_PID)"
expect_equal "resolver CapEff" "$(caps "$resolver" CapEff)" 0000000000200000
expect_equal "resolver CapBnd" "$(caps "$resolver" CapBnd)" 0000000000200000

mkdir -p /mnt/e /mnt/x
run mount -t ext4 "$p1" /mnt/e
run mount -t xfs "$lin" /mnt/x
wait_for_line "watching $p1" 30
wait_for_line "watching /dev/dm-" 30

itable=$(ext4_inode_table_block "$p1")
e_first=$(( $(part_start "$p1") * 512 + itable * 4096 ))
bs=$(xfs_db -r -c "sb 0" -c "p blocksize" "$lin" | awk '{ print $3 }')
agblocks=$(xfs_db -r -c "sb 0" -c "p agblocks" "$lin" | awk '{ print $3 }')
x_first=$((agblocks * bs)) # AG 1's header; dm-linear over the whole disk
e_line="direct write ext4's metadata: [$e_first, $((e_first + 4096))) (+4096) on device wwid: $(disk_wwid_hex "$d0")"
x_line="direct write xfs's metadata: [$x_first, $((x_first + bs))) (+$bs) on device wwid: $(disk_wwid_hex "$d1")"

bg_pid bedtool writes "$p1" $((itable * 4096)) 4096 1 >/dev/null || exit 1
bg_pid bedtool writes "$lin" "$x_first" "$bs" 1 >/dev/null || exit 1
wait_for_line "$e_line" 30
wait_for_line "$x_line" 30
run umount /mnt/e
run umount /mnt/x
bg_pid bedtool writes "$p1" $((itable * 4096)) 4096 1 >/dev/null || exit 1
i=0
while [ "$(count_lines "$e_line")" -lt 2 ] && [ $i -lt 100 ]; do usleep 200000; i=$((i + 1)); done
end_corvane
show_corvane_output
expect_equal "ext4 reports" "$(count_lines "$e_line")" 2
exit 0
