#!/usr/bin/env bash
# What Error Checking costs a counted read run: the same stratavon-cli run
# (-f read -P, B = T) with and without -e, interleaved so that a noisy disk
# hits both sides of a pair alike, and the table reports the median of the
# per-pair ratios checked/plain. The checksum itself runs at memory speed, so
# a ratio well below 1 points at copies, clears, locks or wake-ups around it.
#
# Cases: buffer 1MB and 4MB (transfer = buffer), synchronous and asynchronous
# (-a -q DEPTH), on every DIR given. Targets the release aims at: >= 0.90 on a
# disk, >= 0.75 on RAM (/dev/shm), where the I/O costs about what the CRC does.
#
# Usage:
#   cmake -S . -B /tmp/build-bench -DCMAKE_BUILD_TYPE=Release
#   cmake --build /tmp/build-bench -j2 --target stratavon-cli
#   bench/verify_cost.sh [-c CLI] [-p PAIRS] [-s SECONDS] [-n THREADS] [-q DEPTH] [-k CASES] DIR [DIR ...]
#     -c  stratavon-cli binary (default /tmp/build-bench/src/cli/stratavon-cli)
#     -p  interleaved pairs per case (default 5)
#     -s  seconds per run (default 3)
#     -n  workers per target (default 1)
#     -q  queue depth of the asynchronous cases (default 8)
#     -k  only cases whose name matches this extended regex (e.g. 'async-4MB')
#   e.g. bench/verify_cost.sh -p 5 -s 3 /var/tmp /dev/shm
# Each DIR gets a private scratch folder that is removed afterwards. Needs jq
# or python3. Not a test; not run in CI.

set -u
set -o pipefail

BENCH_NAME=verify_cost
# shellcheck source=bench/bench_lib.sh
source "$(dirname "$0")/bench_lib.sh"
# -p defaults to 5 pairs, -q to depth 8.
bench_options 5 8 "$@"

# Case table: name mode size
CASES=(
  "sync-1MB   sync  1MB"
  "sync-4MB   sync  4MB"
  "async-1MB  async 1MB"
  "async-4MB  async 4MB"
)

# run_one WORK MODE SIZE CHECK(0|1) -> "mbps iops" or "NA NA"
run_one() {
  local args=(-f read -n "$THREADS" -x "$3" -b "$3" -P -d "$SECONDS_PER_RUN")
  [[ $2 == async ]] && args+=(-a -q "$DEPTH")
  [[ $4 == 1 ]] && args+=(-e)
  cli_rates "$1" "${args[@]}"
}


echo "stratavon-cli: $CLI"
echo "$PAIRS pairs x ${SECONDS_PER_RUN}s, $THREADS worker(s), async depth $DEPTH; MB/s = MiB/s"

run_pairs 10 checked
ratio_table 10 checked '-e MB/s'
