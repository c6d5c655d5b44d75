# What the probes cost per write in the kernel, as the kernel's own BPF statistics count it
# (run_time_ns / run_cnt), side by side with empty programs of the same kind on the same
# functions (submit_bio and submit_bio_noacct) in the same run: 4 KiB O_DIRECT writes to an
# unwatched disk, and into the file data of a watched ext4 with a few ranges and of one with
# about 10,000 ranges. One round per attach mode the kernel allows (fentry/fexit and
# kprobes, or kprobes only), with the wall time per write (which also holds the cost of
# entering the programs, a trampoline or a kprobe's trap) against writes without any probe.
# Also the time from start to "start monitor!" with those 10,000 ranges.
# Prints figures; asserts only that none of these writes is reported.
. /bed/lib.sh

COUNT=${BENCH_COUNT:-2000}

unwatched=$(make_disk c0ffee81) || exit 1
few=$(make_disk c0ffee82) || exit 1
many=$(make_disk c0ffee83 81920) || exit 1
partition "$few" 200M
few=$(part_node "$few" 1)
mkfs_ext4 -b 4096 "$few"
# 1 KiB blocks without flex_bg: one range per 8 MiB group, about 10,000 of them.
mkfs_ext4 -b 1024 -O ^flex_bg,^resize_inode -E lazy_itable_init=1,lazy_journal_init=1 "$many"

# Milliseconds since boot (busybox's date has no %N).
uptime_ms() { awk '{ printf "%d\n", $1 * 1000 }' /proc/uptime; }

# stats: name run_time_ns run_cnt, one line per program (bpftool leaves the counters
# out while they are 0).
stats() {
  bpftool prog show 2>/dev/null | awk '
    / name / { ns = 0; n = 0
               for (i = 1; i < NF; i++) {
                 if ($i == "name") name = $(i + 1)
                 if ($i == "run_time_ns") ns = $(i + 1)
                 if ($i == "run_cnt") n = $(i + 1)
               }
               print name, ns, n }'
}

# write_time MODE WHAT: the wall time per write of the last run of writes.
write_time() {
  awk -v what="$1 $2" '/^writes: / { printf "bench: %-29s %6.0f us per write (wall time)\n", what, $4 / $2 }' \
    /tmp/writes.out >&2
}

bench() {
  local mode=$1 what=$2 dev=$3 offset=$4
  stats >/tmp/before
  [ -s /tmp/before ] || fail "bpftool listed no programs"
  bedtool writes "$dev" "$offset" 4096 "$COUNT" >/tmp/writes.out || fail "writes to $dev failed"
  stats >/tmp/after
  write_time "$mode" "$what"
  awk -v what="$mode $what" 'NR == FNR { ns[$1] = $2; n[$1] = $3; next }
    ($3 - n[$1]) > 0 { printf "bench: %-29s %-28s %7d runs %7.0f ns per run\n", what, $1, $3 - n[$1], ($2 - ns[$1]) / ($3 - n[$1]) }' \
    /tmp/before /tmp/after >&2
}

# One round per attach mode this kernel allows: the empty programs and corvane's of the
# same kind side by side.
modes=kprobe
[ -n "$(no_fentry_reason)" ] || modes="fentry kprobe"
bedtool writes "$unwatched" 0 4096 "$COUNT" >/tmp/writes.out || fail "writes to $unwatched failed"
write_time none unwatched-disk
echo 1 >/proc/sys/kernel/bpf_stats_enabled
for mode in $modes; do
  empty_probe /bed/tools/empty_probe.bpf.o "$mode" >/tmp/empty.out 2>&1 &
  empty=$!
  i=0
  while ! grep -q attached /tmp/empty.out && [ $i -lt 600 ]; do usleep 100000; i=$((i + 1)); done
  grep -q attached /tmp/empty.out || fail "the empty $mode probes did not attach: $(cat /tmp/empty.out)"
  bedtool writes "$unwatched" 0 4096 "$COUNT" >/tmp/writes.out || fail "writes to $unwatched failed"
  write_time "$mode" "empty-probes-only"

  t0=$(uptime_ms)
  export CORVANE_ATTACH_MODE=$mode
  BED_LINEBUF=1 start_corvane "$few" "$many"
  unset CORVANE_ATTACH_MODE
  i=0
  while ! grep -q "start monitor!" "$CORVANE_OUT" && [ $i -lt 1200 ]; do usleep 50000; i=$((i + 1)); done
  t1=$(uptime_ms)
  wait_for_line "start monitor!" 5
  ranges=$(awk '/^wwid: / { getline; if (match($0, /\(([0-9]+) ranges in all/)) print substr($0, RSTART + 1, RLENGTH - 15); else print gsub(/\[/, "[") }' "$CORVANE_OUT" | tr '\n' ' ')
  log "bench: $mode: start to 'start monitor!': $((t1 - t0)) ms for disks with $ranges ranges"

  bench "$mode" unwatched-disk "$unwatched" 0
  bench "$mode" watched-few-ranges "$few" $(( ($(size_sectors "$few") / 8 - COUNT) * 4096 ))
  bench "$mode" watched-10000-ranges "$many" $(( ($(size_sectors "$many") / 8 - COUNT) * 4096 ))
  kill $empty
  wait $empty 2>/dev/null
  end_corvane
  expect_no_line "direct write"
done
echo 0 >/proc/sys/kernel/bpf_stats_enabled
exit 0
