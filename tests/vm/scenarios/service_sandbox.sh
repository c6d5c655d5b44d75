# corvane run as its systemd unit runs it: capability bounding set of exactly its six
# capabilities, no new privileges, /sys read-only and /proc/kcore hidden in a mount namespace
# of its own, devices from a configuration file, -d. It starts (the resolver process too),
# reports a rogue write, re-resolves on SIGHUP and stops with its closing line on SIGTERM.
. /bed/lib.sh

disk=$(make_disk 5e7f1c01) || exit 1
wwid=$(disk_wwid_hex "$disk")
mkfs_ext4 "$disk"
bs=$(ext4_block_size "$disk")
itable=$(ext4_inode_table_block "$disk")
mkdir -p /tmp/etc
echo "devices = [\"$disk\"]" >/tmp/etc/corvane.conf

# CAP_DAC_READ_SEARCH 2, CAP_SETPCAP 8, CAP_SYS_ADMIN 21, CAP_SYSLOG 34, CAP_PERFMON 38,
# CAP_BPF 39: the unit's CapabilityBoundingSet=.
real=$(command -v corvane) || fail "no corvane in the guest"
mkdir -p /tmp/sandbox/bin
cat >/tmp/sandbox/inner <<EOF
mount --bind /sys /sys && mount -o remount,bind,ro /sys || exit 90
mount --bind /dev/null /proc/kcore || exit 91
exec bedtool bounded 2,8,21,34,38,39 $real "\$@"
EOF
printf '#!/bin/sh\nexec unshare -m sh /tmp/sandbox/inner "$@"\n' >/tmp/sandbox/bin/corvane
chmod +x /tmp/sandbox/bin/corvane

PATH=/tmp/sandbox/bin:$PATH BED_LINEBUF=1 start_corvane -d --config /tmp/etc/corvane.conf
wait_for_line "start monitor!" 90
expect_line "wwid: $wwid"

# The monitor kept its four capabilities, the resolver CAP_SYS_ADMIN alone.
expect_equal "monitor's bounding set" "$(sed -n 's/^CapBnd:\t//p' /proc/$CORVANE_PID/status)" 000000c400000004
expect_equal "monitor's no_new_privs" "$(sed -n 's/^NoNewPrivs:\t//p' /proc/$CORVANE_PID/status)" 1
resolver=$(grep -l "^PPid:\s*$CORVANE_PID$" /proc/[0-9]*/status | head -n 1)
[ -n "$resolver" ] || fail "no resolver process under corvane"
expect_equal "resolver's bounding set" "$(sed -n 's/^CapBnd:\t//p' "$resolver")" 0000000000200000
sys_options=$(awk '$5 == "/sys" { print $6 }' /proc/$CORVANE_PID/mountinfo | tail -n 1)
case $sys_options in ro,* | ro) ;; *) fail "/sys is not read-only for corvane: $sys_options" ;; esac

pid=$(bg_pid dd if=/dev/zero of="$disk" bs="$bs" count=1 seek="$itable" oflag=direct conv=notrunc) || exit 1
first=$((itable * bs))
wait_for_line "direct write ext4's metadata: [$first," 30

kill -HUP "$CORVANE_PID"
wait_for_line "re-resolved $disk (SIGHUP): " 30
stop_corvane
show_corvane_output
expect_equal "status after SIGTERM" "$CORVANE_STATUS" 0
expect_report "dd($pid)" "direct write ext4's metadata: [$first, $((first + bs))) (+$bs) on device wwid: $wwid" "blkdev|submit_bio"
expect_regex '^corvane stopped: 1 reports, 0 lost$'
expect_no_line "fs_parser error"
expect_no_line "device_parser error"
exit 0
