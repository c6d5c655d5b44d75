# Cost of the probes on the write path: 4 KiB O_DIRECT writes to a LIO disk, in runs that
# alternate without and with corvane attached, (a) to a region of the disk that no watched
# range covers and (b) into the data area of the watched ext4. Prints MB/s per run and the
# throughput ratio with/without; it asserts only that none of these writes is reported.
. /bed/lib.sh

PAIRS=${BENCH_PAIRS:-3}
COUNT=${BENCH_COUNT:-3000}

disk=$(make_disk c0ffee81 512) || exit 1
partition "$disk" 128M -
p1=$(part_node "$disk" 1)
p2=$(part_node "$disk" 2)
mkfs_ext4 -b 4096 "$p1"
data_seek=$(( $(size_sectors "$p1") / 8 - COUNT - 16 )) # last 4 KiB blocks of the ext4

now_ms() {
  local t
  t=$(date +%s%N 2>/dev/null)
  case $t in *N | "") awk '{ printf "%d\n", $1 * 1000 }' /proc/uptime ;; *) echo $((t / 1000000)) ;; esac
}

# run_writes DEV SEEK: COUNT 4 KiB O_DIRECT writes; prints milliseconds.
run_writes() {
  local t0 t1
  t0=$(now_ms)
  dd if=/dev/zero of="$1" bs=4096 count="$COUNT" seek="$2" oflag=direct conv=notrunc 2>/dev/null ||
    fail "dd to $1 failed"
  t1=$(now_ms)
  echo $((t1 - t0))
}

# run_writes_placebo DEV SEEK: run_writes beside a process that wakes up every 100 ms like
# corvane's poll loop. Under emulation such wake-ups alone change the I/O rate; the
# placebo keeps them out of the comparison.
run_writes_placebo() {
  local placebo ms
  (while :; do usleep 100000; done) &
  placebo=$!
  ms=$(run_writes "$1" "$2")
  kill "$placebo"
  wait "$placebo" 2>/dev/null
  echo "$ms"
}

# run_pair TARGET DEV SEEK FIRST: one run without and one with corvane, in the order
# FIRST ("off" or "on") so that neither side always runs first.
run_pair() {
  local target=$1 dev=$2 seek=$3 off on
  if [ "$4" = off ]; then off=$(run_writes_placebo "$dev" "$seek"); fi
  start_corvane "$p1"
  wait_for_line "start monitor!" 60
  echo 1 >/proc/sys/kernel/bpf_stats_enabled
  on=$(run_writes "$dev" "$seek")
  usleep 300000
  # Time spent in the block-layer probe itself, as the kernel counts it.
  bpftool prog show 2>/dev/null | awk -v t="$target" '
    / name monitor_submit_bio / { want = 1; next }
    want && /run_time_ns/ {
      for (i = 1; i < NF; i++) { if ($i == "run_time_ns") ns = $(i + 1); if ($i == "run_cnt") n = $(i + 1) }
      if (n > 0) printf "%s %d %d\n", t, n, ns
      want = 0
    }' >>"$probe_stats"
  echo 0 >/proc/sys/kernel/bpf_stats_enabled
  end_corvane
  expect_no_line "direct write"
  if [ "$4" = on ]; then off=$(run_writes_placebo "$dev" "$seek"); fi
  echo "$target $off $on" >>"$results"
  log "$target: without ${off} ms, with ${on} ms"
}

# The backstores are sparse files: write every region once so that no run pays for
# allocating it.
run_writes "$p2" 0 >/dev/null
run_writes "$p1" "$data_seek" >/dev/null

results=/tmp/bench.txt
probe_stats=/tmp/bench-probe.txt
: >"$results"
: >"$probe_stats"
order=off
for i in $(seq 1 "$PAIRS"); do
  run_pair unwatched "$p2" 0 $order
  run_pair data "$p1" "$data_seek" $order
  if [ $order = off ]; then order=on; else order=off; fi
done

awk -v count="$COUNT" '
  { off[$1] += $2; on[$1] += $3; n[$1]++
    printf "bench: %-9s run: without %7.2f MB/s  with %7.2f MB/s\n", $1,
      count * 4096 / 1048576 / ($2 / 1000), count * 4096 / 1048576 / ($3 / 1000) }
  END {
    for (t in n)
      printf "bench: %-9s %d pairs of %d x 4 KiB O_DIRECT writes: throughput with/without corvane = %.3f\n",
        t, n[t], count, off[t] / on[t]
  }' "$results"
awk '{ n[$1] += $2; ns[$1] += $3 }
  END { for (t in n) printf "bench: %-9s monitor_submit_bio ran %d times, %.0f ns per run on average\n", t, n[t], ns[t] / n[t] }' "$probe_stats"
exit 0
