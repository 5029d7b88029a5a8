#!/usr/bin/env bash
# What timing every I/O costs a counted run: the same stratavon-cli run
# (-P) with latency capture (the default) and with --no-latency,
# interleaved so that a noisy disk hits both sides of a pair alike; the
# table reports the median of the per-pair ratios timed/plain of the IOPS,
# and of the CPU time per I/O (plain/timed), which a machine shared with
# other work disturbs far less than the IOPS.
# Each timed I/O costs one or two readings of the clock (vDSO) and a few
# stores into the worker's own histogram, so the cost shows only where an
# I/O itself takes well under a microsecond, as small transfers on RAM do.
#
# Cases: 4KB transfers asynchronous at depth DEPTH (default 32) and
# synchronous, and 1MB asynchronous at depth 8, reads, on every DIR given.
# Target: >= 0.97 for 4KB at depth 32 on /dev/shm.
#
# Usage:
#   cmake -S . -B /tmp/build-bench -DCMAKE_BUILD_TYPE=Release
#   cmake --build /tmp/build-bench -j2 --target stratavon-cli
#   bench/latency_cost.sh [-c CLI] [-p PAIRS] [-s SECONDS] [-n THREADS] [-q DEPTH] [-k CASES] DIR [DIR ...]
#     -c  stratavon-cli binary (default /tmp/build-bench/src/cli/stratavon-cli)
#     -p  interleaved pairs per case (default 7)
#     -s  seconds per run (default 3)
#     -n  workers per target (default 1)
#     -q  queue depth of the 4KB asynchronous case (default 32)
#     -k  only cases whose name matches this extended regex (e.g. 'async-4KB')
#   e.g. bench/latency_cost.sh -p 7 -s 3 /dev/shm /var/tmp
# Each DIR gets a private scratch folder that is removed afterwards. Needs jq
# or python3. Not a test; not run in CI.

set -u
set -o pipefail

BENCH_NAME=latency_cost
# shellcheck source=bench/bench_lib.sh
source "$(dirname "$0")/bench_lib.sh"
# -p defaults to 7 pairs, -q to depth 32.
bench_options 7 32 "$@"

# Case table: name mode size
CASES=(
  "async-4KB  async 4KB"
  "sync-4KB   sync  4KB"
  "async-1MB  async 1MB"
)

# run_one WORK MODE SIZE TIMED(0|1) -> "mbps iops cpu-ns-per-io" (NA when it failed)
run_one() {
  local args=(-f read -n "$THREADS" -x "$3" -b "$3" -P -d "$SECONDS_PER_RUN")
  local depth=$DEPTH
  [[ $3 == 1MB ]] && depth=8
  [[ $2 == async ]] && args+=(-a -q "$depth")
  [[ $4 == 0 ]] && args+=(--no-latency)
  cost_run "$1" "" "${args[@]}"
}

echo "stratavon-cli: $CLI"
echo "$PAIRS pairs x ${SECONDS_PER_RUN}s, $THREADS worker(s), 4KB async depth $DEPTH, 1MB async depth 8"

pair_cell() { printf ' | %-5s %10s IOPS %7s CPU ns/IO' "$1" "$3" "$4"; }
run_pairs 10 timed

cost_table timed 0.97
