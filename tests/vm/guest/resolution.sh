# Reading corvane's device-resolution debug lines (-m 1), for the resolve_* scenarios.
# Source after lib.sh.

# resolution_facts [FILE]: one line per fact found in corvane's debug output:
#   fs A B                                   a watched range on the named device
#   partition OLD_DEV NEW_DEV A B C D        range [A,B) on a partition became [C,D) on its disk
#   linear DM_DEV A B WS WE NEW_DEV OFF X Y  range [A,B) in target window [WS,WE) became [X,Y)
#   multipath DM_DEV A B WS WE NEW_DEV X Y   likewise for a multipath target (first path)
#   wwid DEV HEX                             a SCSI disk and its WWID
resolution_facts() {
  awk '
    function clean(line) { gsub(/[\[\),]/, " ", line); return line }
    /^------debug partition------$/ { mode = "partition"; next }
    /^------debug linear------$/ { mode = "linear"; next }
    /^------debug multipath------$/ { mode = "multipath"; next }
    /^-+$/ { mode = ""; next }
    /^fs range:\[/ { split(clean($0), f, " "); print "fs", f[3], f[4]; next }
    /.+'"'"'s wwid: / { dev = $1; sub(/'"'"'s$/, "", dev); print "wwid", dev, $3; next }
    mode == "partition" && /^old dev: / { old = $3; next }
    mode == "partition" && /^new dev: / { new = $3; next }
    mode == "partition" && /^old range: / { split(clean($0), f, " "); a = f[3]; b = f[4]; next }
    mode == "partition" && /^new range: / { split(clean($0), f, " "); print "partition", old, new, a, b, f[3], f[4]; next }
    mode != "" && /^old dev: / { split(clean($0), f, " "); old = f[3]; a = f[6]; b = f[7]; next }
    mode != "" && /^old linear: / { split(clean($0), f, " "); ws = f[3]; we = f[4]; next }
    mode == "linear" && /^new dev: / {
      split(clean($0), f, " "); off = f[6]; sub(/\.$/, "", off)
      print "linear", old, a, b, ws, we, f[3], off, f[9], f[10]; next
    }
    mode == "multipath" && /^new dev: / {
      split(clean($0), f, " "); new = f[3]; sub(/\.$/, "", new)
      print "multipath", old, a, b, ws, we, new, f[6], f[7]; next
    }
  ' "${1:-$CORVANE_OUT}"
}

# analyse DEV: runs `corvane -m 1 DEV` until the probes started (or failed to) and checks
# that the device was analysed and resolved without an error line. The facts are left in
# /tmp/facts.
analyse() {
  start_corvane -m 1 "$1"
  wait_for_any 120 "start monitor!" "start bpf failed" "No file system needs to be monitored." >/dev/null ||
    fail "corvane on $1 printed neither 'start monitor!' nor 'start bpf failed'"
  stop_corvane
  show_corvane_output >&2
  expect_no_line "device_parser error: "
  expect_no_line "fs_parser error: "
  expect_no_line "No file system needs to be monitored."
  resolution_facts "$CORVANE_OUT" >/tmp/facts
  [ -s /tmp/facts ] || fail "no resolution lines in corvane's output (was it run with -m 1?)"
}

# sum_of KIND FIELD_A FIELD_B: total length of the ranges of the facts of one kind.
sum_of() { awk -v k="$1" -v a="$2" -v b="$3" '$1 == k { s += $b - $a } END { printf "%d\n", s }' /tmp/facts; }

# expect_wwid DEV: corvane resolved to the disk DEV and printed its WWID as sysfs knows it.
expect_wwid() {
  local hex
  hex=$(disk_wwid_hex "$1")
  [ -n "$hex" ] || fail "$1 has no 16-byte naa wwid"
  grep -qx "wwid $(dev_majmin "$1") $hex" /tmp/facts ||
    fail "expected the line \"$(dev_majmin "$1")'s wwid: $hex\" for $1"
  ok "$1 resolved to wwid $hex"
}

# expect_partition_shift PART: every partition fact for PART moves the range to PART's disk
# by the partition's start in bytes (sysfs "start" counts 512-byte sectors on every disk).
expect_partition_shift() {
  local part=$1 pdev ddev off n=0 kind old new a b c d
  pdev=$(dev_majmin "$part")
  ddev=$(cat "$(sysfs_dir "$part")/../dev")
  off=$(($(part_start "$part") * 512))
  while read -r kind old new a b c d; do
    [ "$kind" = partition ] && [ "$old" = "$pdev" ] || continue
    [ "$new" = "$ddev" ] || fail "partition $pdev mapped to $new instead of its disk $ddev"
    [ "$c" -eq $((a + off)) ] && [ "$d" -eq $((b + off)) ] ||
      fail "partition $pdev: [$a, $b) became [$c, $d), expected [$((a + off)), $((b + off))) (start $(part_start "$part") x 512)"
    n=$((n + 1))
  done </tmp/facts
  [ $n -gt 0 ] || fail "no partition mapping printed for $part ($pdev)"
  ok "$n ranges of $part ($pdev) shifted by $off bytes onto $ddev"
}
