# No silent loss: while corvane is stopped, more unsafe writes than the ring buffer holds are
# made; when it runs again it reports how many reports were lost, and every write is counted:
# shown in full, coalesced, held back by the report budget, or lost.
. /bed/lib.sh

disk=$(make_disk c0ffeea1) || exit 1
partition "$disk" 40M -
p1=$(part_node "$disk" 1)
mkfs_ext4 "$p1"
start_corvane -a "$p1"
wait_for_line "start monitor!" 60
kill -STOP "$CORVANE_PID"
# 512-byte O_DIRECT writes over the whole (watched) file system: one report each, 352
# bytes plus a header in the 16 MiB ring, which holds about 46000 of them.
run dd if=/dev/zero of="$p1" bs=512 count=60000 oflag=direct conv=notrunc
kill -CONT "$CORVANE_PID"
wait_for_line "reports lost, the ring buffer was full" 120
end_corvane
grep "reports lost" "$CORVANE_OUT" >&2
got=$(grep -c "^direct write ext4's metadata" "$CORVANE_OUT")
lost=$(sed -n 's/.*(\([0-9]*\) in total)$/\1/p' "$CORVANE_OUT" | tail -n 1)
counts=$(sed -n 's/^reports: \([0-9]*\) shown in full, \([0-9]*\) coalesced, \([0-9]*\) held back, \([0-9]*\) lost to the ring buffer$/\1 \2 \3 \4/p' "$CORVANE_OUT")
[ -n "$counts" ] || fail "no closing breakdown"
set -- $counts
log "reports printed: $got, shown: $1, coalesced: $2, held back: $3, lost: $4 (warned: $lost)"
expect_equal "reports printed" "$got" "$1"
expect_equal "lost" "$4" "$lost"
expect_equal "shown + coalesced + held back + lost" $(($1 + $2 + $3 + $4)) 60000
held=$(sed -n 's/^held back: \([0-9]*\) reports\{0,1\} in the last second.*/\1/p' "$CORVANE_OUT" | awk '{ n += $1 } END { print n + 0 }')
expect_equal "held back, summed per second" "$held" "$3"
exit 0
