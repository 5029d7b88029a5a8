#!/usr/bin/env bash
# What stamped units cost a verifying run: the same stratavon-cli run (-e -P,
# B = T) with the plain pattern and with -p stamped, interleaved so that a
# noisy disk hits both sides of a pair alike; the table reports the median of
# the per-pair ratios stamped/plain. Writers stamp a fresh header into every
# 512-byte unit each pass and judge every unit of the read-back; readers
# spoil the headers before each read and judge every unit.
#
# Cases: write and read, buffer 1MB and 4MB (transfer = buffer), synchronous
# and asynchronous (-a -q DEPTH), on every DIR given. Targets: >= 0.90 on a
# disk, >= 0.75 on RAM (/dev/shm).
#
# Usage:
#   cmake -S . -B /tmp/build-bench -DCMAKE_BUILD_TYPE=Release
#   cmake --build /tmp/build-bench -j2 --target stratavon-cli
#   bench/stamped_cost.sh [-c CLI] [-p PAIRS] [-s SECONDS] [-n THREADS] [-q DEPTH] [-k CASES] DIR [DIR ...]
#     -c  stratavon-cli binary (default /tmp/build-bench/src/cli/stratavon-cli)
#     -p  interleaved pairs per case (default 5)
#     -s  seconds per run (default 3)
#     -n  workers per target (default 1)
#     -q  queue depth of the asynchronous cases (default 8)
#     -k  only cases whose name matches this extended regex (e.g. 'write-async')
#   e.g. bench/stamped_cost.sh -p 5 -s 3 /var/tmp /dev/shm
# Each DIR gets a private scratch folder that is removed afterwards. Needs jq
# or python3. Not a test; not run in CI.

set -u
set -o pipefail

BENCH_NAME=stamped_cost
# shellcheck source=bench/bench_lib.sh
source "$(dirname "$0")/bench_lib.sh"
# -p defaults to 5 pairs, -q to depth 8.
bench_options 5 8 "$@"

# Case table: name mode size
CASES=(
  "write-sync-1MB   sync  1MB write"
  "write-sync-4MB   sync  4MB write"
  "write-async-1MB  async 1MB write"
  "write-async-4MB  async 4MB write"
  "read-sync-1MB    sync  1MB read"
  "read-sync-4MB    sync  4MB read"
  "read-async-1MB   async 1MB read"
  "read-async-4MB   async 4MB read"
)

# run_one WORK MODE SIZE FUNCTION STAMPED(0|1) -> "mbps iops" or "NA NA"
run_one() {
  local args=(-f "$4" -n "$THREADS" -x "$3" -b "$3" -e -P -d "$SECONDS_PER_RUN")
  [[ $2 == async ]] && args+=(-a -q "$DEPTH")
  [[ $5 == 1 ]] && args+=(-p stamped)
  cli_rates "$1" "${args[@]}"
}


echo "stratavon-cli: $CLI"
echo "$PAIRS pairs x ${SECONDS_PER_RUN}s, $THREADS worker(s), async depth $DEPTH; MB/s = MiB/s"

run_pairs 16 stamped
ratio_table 16 stamped 'stamped'
