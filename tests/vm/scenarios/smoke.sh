# corvane on ext4 made on a whole LIO disk: the file system is analysed, the disk is resolved
# to its 16-byte WWID, and the probes are started in the attach mode the kernel allows
# (fentry/fexit, or kprobes where it cannot attach BPF trampolines).
. /bed/lib.sh

d0=$(make_disk 5a0ce001) || exit 1
d1=$(make_disk 5a0ce002) || exit 1
for d in "$d0" "$d1"; do
  case $(disk_wwid "$d") in naa.*) log "$d $(disk_wwid "$d")" ;; *) fail "$d has no naa wwid" ;; esac
done
mkfs_ext4 "$d0"

start_corvane -m 1 "$d0"
seen=$(wait_for_any 90 "start monitor!" "start bpf failed" "No file system needs to be monitored.") ||
  fail "corvane printed neither 'start monitor!' nor 'start bpf failed'"
# Only a monitoring corvane is stopped; otherwise it is ending by itself (under emulation it
# may not have yet).
if [ "$seen" = "start monitor!" ]; then stop_corvane; else reap_corvane; fi
show_corvane_output
[ "$seen" = "start monitor!" ] || fail "the probes did not start ($seen, status $CORVANE_STATUS)"

expect_line "!!!!!!!debug mode!!!!!!!"
expect_line "dev num: $(dev_majmin "$d0")"
expect_line "$d0 is ext4"
# The code of ext4 (with jbd2), as the probes exempt it.
expect_regex '^ext4 code: \[[0-9a-f]+, [0-9a-f]+\) '
expect_line "is global? :false"
expect_regex '^fs range:\[[0-9]+, [0-9]+\)$'
expect_line "device parser: check destination device for $(dev_majmin "$d0")"
expect_line "is scsi"
expect_line "$(dev_majmin "$d0")'s wwid: $(disk_wwid_hex "$d0")"
expect_no_line "device_parser error: "
expect_no_line "fs_parser error: "

expect_line "attach mode: $(expected_attach_mode)"
[ "$(grep -c '^attach .*: none$' "$CORVANE_OUT")" = 0 ] || fail "a probe has no attach point"
expect_equal "status after SIGTERM" "$CORVANE_STATUS" 0
expect_regex '^corvane stopped: [0-9]+ reports, [0-9]+ lost$'
exit 0
