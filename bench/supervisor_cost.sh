#!/usr/bin/env bash
# What running the I/O in a child process costs: the same stratavon-cli run
# (-P) supervised (the default) and with STRATAVON_IN_PROCESS=1, interleaved
# so that a noisy disk hits both sides of a pair alike; the table reports
# the median of the per-pair ratios supervised/plain of the IOPS, and of the
# CPU time per I/O of the whole process tree (plain/supervised).
# The supervisor wakes for the child's output and one message per 2 s tick
# (and per 500 ms while a stop waits), never per I/O, so the goal is parity.
#
# Cases: 4KB asynchronous at depth DEPTH (default 32) and 1MB asynchronous at
# depth 8, writes, with -n workers per target (run it with -n 1 and -n 4).
# Target: >= 0.97.
#
# Usage:
#   cmake -S . -B /tmp/build-bench -DCMAKE_BUILD_TYPE=Release
#   cmake --build /tmp/build-bench -j2 --target stratavon-cli
#   bench/supervisor_cost.sh [-c CLI] [-p PAIRS] [-s SECONDS] [-n THREADS] [-q DEPTH] [-k CASES] DIR [DIR ...]
#   e.g. bench/supervisor_cost.sh -n 4 -p 5 /dev/shm /var/tmp
# Each DIR gets a private scratch folder that is removed afterwards. Needs jq
# or python3. Not a test; not run in CI.

set -u
set -o pipefail

BENCH_NAME=supervisor_cost
# shellcheck source=bench/bench_lib.sh
source "$(dirname "$0")/bench_lib.sh"
bench_options 5 32 "$@"

# Case table: name size
CASES=(
  "async-4KB  4KB"
  "async-1MB  1MB"
)

# run_one WORK SIZE SUPERVISED(0|1) -> "mbps iops cpu-ns-per-io" (NA when it failed)
run_one() {
  local depth=$DEPTH
  [[ $2 == 1MB ]] && depth=8
  local inprocess=1
  [[ $3 == 1 ]] && inprocess=0
  cost_run "$1" "STRATAVON_IN_PROCESS=$inprocess" -f write -n "$THREADS" -x "$2" -b "$2" -P -a -q "$depth" \
    -d "$SECONDS_PER_RUN"
}

echo "stratavon-cli: $CLI"
echo "$PAIRS pairs x ${SECONDS_PER_RUN}s, $THREADS worker(s), 4KB async depth $DEPTH, 1MB async depth 8"

pair_cell() { printf ' | %-10s %10s IOPS %7s CPU ns/IO' "$1" "$3" "$4"; }
run_pairs 10 supervised

cost_table supervised 0.97
