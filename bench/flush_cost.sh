#!/usr/bin/env bash
# What --flush-every costs against fio's --fdatasync=N at the same flush
# frequency: one writer rewriting a 64MB file in 64KB direct writes, ours
# with -p stamped -P --flush-every SIZE (journal to a local file in the
# scratch folder), fio with psync, bs=64k, fdatasync=SIZE/64KB, time_based,
# on the very file ours left behind. Runs are interleaved; the table reports
# the median of the per-pair ratios ours/fio (goal >= 1.0; the table's goal
# column is the shared 0.90/0.75 of the *_cost scripts). The journal's own
# records per second: bench/journal_bench (build target journal_bench).
# A journal on the disk under test costs a second synced write per flush;
# JOURNAL=/dev/shm/flush-journal puts it elsewhere, to see the flush alone.
# ASYNC=DEPTH runs both sides asynchronously in batches of DEPTH: ours with
# -a -q DEPTH (on io_uring its flush goes through the queue behind the
# batch), fio with io_uring, --iodepth=DEPTH and the batch options.
#
# Usage:
#   cmake -S . -B /tmp/build-bench -DCMAKE_BUILD_TYPE=Release
#   cmake --build /tmp/build-bench -j2 --target stratavon-cli
#   bench/flush_cost.sh [-c CLI] [-p PAIRS] [-s SECONDS] [-k CASES] DIR [DIR ...]
#     -c  stratavon-cli binary (default /tmp/build-bench/src/cli/stratavon-cli)
#     -p  interleaved pairs per case (default 3)
#     -s  seconds per run (default 3)
#     -k  only cases whose name matches this extended regex (e.g. 'every-1MB')
#   e.g. bench/flush_cost.sh -p 3 -s 3 /var/tmp
# Each DIR gets a private scratch folder that is removed afterwards. Needs
# fio, and jq or python3. Not a test; not run in CI.

set -u
set -o pipefail

BENCH_NAME=flush_cost
# shellcheck source=bench/bench_lib.sh
source "$(dirname "$0")/bench_lib.sh"
bench_options 3 - "$@"
command -v fio >/dev/null || { echo "$BENCH_NAME: needs fio" >&2; exit 2; }

# Case table: name flush-every writes-per-flush
CASES=(
  "every-256KB  256KB 4"
  "every-1MB    1MB   16"
  "every-16MB   16MB  256"
)

# run_one WORK EVERY N SIDE: SIDE 0 fio, 1 ours -> "mbps iops" or "NA NA"
run_one() {
  local work=$1
  if [[ $4 == 1 ]]; then
    local async=()
    ((${ASYNC:-0} > 0)) && async=(-a -q "$ASYNC")
    KEEP_WORK_FILES=1 cli_rates "$work" -f write -n 1 -p stamped -x 64KB -b 64KB -s 64MB -P "${async[@]}" \
      -d "$SECONDS_PER_RUN" --flush-every "$2" --journal "${JOURNAL:-$work/flush-journal}"
    rm -f -- "${JOURNAL:-$work/flush-journal}"
    return
  fi
  local file
  file=$(ls "$work"/WRITE/KORVA*.DAT 2>/dev/null | head -n 1)
  [[ -n $file ]] || file=$work/fio.dat
  local engine=(--ioengine=psync)
  ((${ASYNC:-0} > 0)) && engine=(--ioengine=io_uring --iodepth="$ASYNC" --iodepth_batch_submit="$ASYNC"
                                --iodepth_batch_complete_min="$ASYNC")
  fio --name=flush --filename="$file" --rw=write --bs=64k --size=64m --direct=1 "${engine[@]}" \
    --fdatasync="$3" --time_based --runtime="$SECONDS_PER_RUN" --output-format=json >"$work/fio.json" 2>/dev/null
  local bw
  bw=$(json_get "$work/fio.json" '.jobs[0].write.bw_bytes')
  if [[ $bw == NA ]]; then echo "NA NA"; else
    awk -v b="$bw" -v i="$(json_get "$work/fio.json" '.jobs[0].write.iops')" 'BEGIN { printf "%.1f %.0f\n", b / 1048576, i }'
  fi
  rm -f -- "$work/fio.json"
}

echo "stratavon-cli: $CLI"
echo "$PAIRS pairs x ${SECONDS_PER_RUN}s, 1 writer, 64KB writes over 64MB, ${ASYNC:+asynchronous depth $ASYNC, }journal ${JOURNAL:-on the disk under test}; plain = fio --fdatasync=N; MB/s = MiB/s"

run_pairs 12 flush
ratio_table 12 flush "ours MB/s"
