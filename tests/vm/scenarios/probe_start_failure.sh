# Without dm_mod the device-mapper symbols are missing: corvane says which one and ends with
# status 3 ("start bpf failed"), leaving no program attached.
. /bed/lib.sh

disk=$(make_disk c0ffee71) || exit 1
mkfs_ext4 "$disk"
for m in dm_round_robin dm_multipath dm_crypt dm_delay dm_mod; do
  grep -q "^$m " /proc/modules && run rmmod "$m"
done
grep -q " dm_blk_open$" /proc/kallsyms && fail "dm_blk_open still in kallsyms"
run_corvane 60 "$disk"
show_corvane_output
expect_equal "exit status" "$CORVANE_STATUS" 3
expect_line "can not get dm_open addr."
expect_line "start bpf failed"
expect_no_line "start monitor!"
[ -z "$(bpftool prog show 2>/dev/null | grep -E 'monitor_|kprobe_|kretprobe_|corvane_')" ] ||
  fail "programs left loaded"
# Put device mapper back for later scenarios.
for m in dm-mod dm-multipath dm-round-robin dm-crypt dm-delay; do
  [ -e /lib/modules/bed/$m.ko ] && insmod /lib/modules/bed/$m.ko
done
exit 0
