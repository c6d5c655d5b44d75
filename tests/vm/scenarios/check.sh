# `corvane check` on a kernel where monitoring works: status 0 and "ready", the fentry probe
# really attached, the drivers found; per device the analysis, the ext4 MMP block, the disks'
# WWIDs and their SCSI persistent reservations (one registered and reserved here with
# PERSISTENT RESERVE OUT); devices taken from a configuration file; a device that cannot be
# analysed makes it fail and is named.
. /bed/lib.sh

d0=$(make_disk c4ec0001) || exit 1
d1=$(make_disk c4ec0002) || exit 1
partition "$d0" 64M -
p1=$(part_node "$d0" 1)
mkfs_ext4 "$p1" -O mmp
lin=$(dm_linear check_lin "$d1") || exit 1
mkfs_ext4 "$lin"

# PERSISTENT RESERVE OUT on d1: REGISTER key 0xabc, then RESERVE it as Write Exclusive -
# Registrants Only. Parameter list: reservation key (bytes 0-7), service action key (8-15).
# LIO records reservations in /var/target/pr and refuses them without it.
mkdir -p /var/target/pr
pr_out() { # SERVICE_ACTION TYPE KEY_OFFSET
  head -c 24 /dev/zero >/tmp/pr.bin
  printf '\012\274' | dd of=/tmp/pr.bin bs=1 seek=$(($3 + 6)) conv=notrunc 2>/dev/null
  run sg_raw -s 24 -i /tmp/pr.bin "$d1" 5f "$1" "$2" 00 00 00 00 00 18 00
}
pr_out 00 00 8
pr_out 01 05 0

run_corvane 90 check "$p1" "$lin"
show_corvane_output
expect_equal "check status" "$CORVANE_STATUS" 0
expect_line "ok      kernel BTF: /sys/kernel/btf/vmlinux"
expect_line "ok      fentry/fexit attachment: fentry/blkdev_ioctl loaded, attached and detached"
expect_line "ok      kprobe attachment: kprobe on submit_bio_noacct created and removed"
expect_line "attach mode: fentry/fexit"
expect_line "ok      bpf_loop helper: available"
expect_line "ok      BPF ring buffer: available"
expect_line "ok      sd_mod: loaded (sd_open known)"
expect_line "ok      dm_mod: loaded (dm_blk_open known)"
expect_line "ok      probe attach points: every required probe has a function"
expect_line "attach monitor_submit_bio: fentry submit_bio_noacct"
expect_regex '^ok      privileges: root; held: cap_bpf cap_perfmon cap_syslog cap_dac_read_search cap_sys_admin cap_setpcap$'
expect_regex "^device $p1: ext4, [0-9]+ ranges$"
expect_regex '^  MMP: on, clean, last updated by node "[^"]*" \(.*\) at .*, check interval [0-9]+ s$'
expect_regex "^  disk $(dev_majmin "$d0") wwid $(disk_wwid_hex "$d0") \($(dev_majmin "$p1") -> $(dev_majmin "$d0")\), [0-9]+ ranges$"
expect_line "    persistent reservation: no key registered, not reserved"
expect_regex "^device $lin: ext4, [0-9]+ ranges$"
expect_regex "^  disk $(dev_majmin "$d1") wwid $(disk_wwid_hex "$d1") "
expect_line "    persistent reservation: 1 key registered (0x0000000000000abc), reserved by 0x0000000000000abc: Write Exclusive - Registrants Only"
expect_line "ready: monitoring can work here"
expect_no_line "MISSING"

run_corvane 90 check --json "$p1"
expect_equal "check --json status" "$CORVANE_STATUS" 0
expect_line '"ready":true,"missing":[]'
expect_line '"fentry_attach":{"title":"fentry/fexit attachment","ok":true'
expect_line '"mmp":{"enabled":true,"readable":true,"error":null,"state":"clean"'

# Devices from the configuration file; one that is no block device makes the check fail.
mkdir -p /tmp/etc/conf.d
echo "devices = [\"$lin\"]" >/tmp/etc/corvane.conf
echo 'devices = ["/tmp/etc/corvane.conf"]' >/tmp/etc/conf.d/10-wrong.conf
run_corvane 90 --config /tmp/etc/corvane.conf check
expect_equal "check status with a wrong device" "$CORVANE_STATUS" 1
expect_line "device /tmp/etc/corvane.conf: FAILED: fs_parser error: it is not a block device"
expect_line "ok      configuration: /tmp/etc/corvane.conf, /tmp/etc/conf.d/10-wrong.conf"
expect_line "not ready: missing device /tmp/etc/corvane.conf"
rm /tmp/etc/conf.d/10-wrong.conf
run_corvane 90 check --config /tmp/etc/corvane.conf
expect_equal "check status with the configured device" "$CORVANE_STATUS" 0
expect_regex "^device $lin: ext4, [0-9]+ ranges$"
exit 0
