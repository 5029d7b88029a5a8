#!/usr/bin/env bash
# Compares the latency percentiles of stratavon-cli (--json, latency_us)
# with fio's completion latencies (clat) on the same workload: reads with
# direct I/O, one worker / one job, on the same folder.
#
# Where the clocks start and stop:
#   - synchronous (ours) / psync (fio): one call, from just before it to
#     its return, in both.
#   - asynchronous (ours) / io_uring (fio): ours from just before a batch of
#     DEPTH requests is issued to when each request's completion is taken
#     from the ring, which for our batch engine is when the whole batch is
#     in (the engine waits for all of a batch). fio's clat runs from
#     submission to reaping. fio's "batch" shape (iodepth_batch_submit =
#     iodepth_batch_complete_min = DEPTH) moves like our engine; its
#     "stream" shape keeps DEPTH in flight, reaping as they come.
#
# Cases: 4KB at depth 32 and 1MB at depth 8, synchronous and asynchronous.
#
# Usage:
#   bench/latency_fio.sh [-c CLI] [-p PAIRS] [-s SECONDS] DIR [DIR ...]
#     -c  stratavon-cli binary (default /tmp/build-bench/src/cli/stratavon-cli)
#     -p  runs per tool and case, interleaved (default 3)
#     -s  seconds per run (default 3)
# Each DIR gets a private scratch folder that is removed afterwards. Needs jq.
# Not a test; not run in CI.

set -u
set -o pipefail

CLI=/tmp/build-bench/src/cli/stratavon-cli
PAIRS=3
SECONDS_PER_RUN=3

usage() { sed -n '/^# Usage:/,/^# Each DIR/p' "$0" | sed 's/^# \{0,1\}//'; exit 2; }
while getopts 'c:p:s:h' opt; do
  case $opt in
    c) CLI=$OPTARG ;;
    p) PAIRS=$OPTARG ;;
    s) SECONDS_PER_RUN=$OPTARG ;;
    *) usage ;;
  esac
done
shift $((OPTIND - 1))
[[ $# -ge 1 ]] || usage
[[ -x $CLI ]] || { echo "latency_fio: no stratavon-cli at $CLI (build it, or pass -c)" >&2; exit 2; }
command -v fio >/dev/null || { echo "latency_fio: fio is not installed" >&2; exit 2; }
command -v jq >/dev/null || { echo "latency_fio: needs jq" >&2; exit 2; }

BENCH_NAME=latency_fio
# shellcheck source=bench/bench_lib.sh
source "$(dirname "$0")/bench_lib.sh"

# Case table: name mode size depth
CASES=(
  "sync-4KB    sync  4KB 1"
  "async-4KB   async 4KB 32"
  "sync-1MB    sync  1MB 1"
  "async-1MB   async 1MB 8"
)

bytes_of() { case $1 in 4KB) echo 4096 ;; 1MB) echo 1048576 ;; esac; }

# ours WORK MODE SIZE DEPTH -> "p50 p99" in us
ours() {
  local work=$1 out=$1/run.json args=(-f read -x "$3" -b "$3" -P -d "$SECONDS_PER_RUN")
  [[ $2 == async ]] && args+=(-a -q "$4")
  "$CLI" run -t "$work" "${args[@]}" --json >"$out" 2>/dev/null
  echo "$(json_get "$out" '.latency_us.p50') $(json_get "$out" '.latency_us.p99')"
  rm -rf -- "$work/READ" "$work/WRITE" "$out"
}

# fio_lat WORK MODE SIZE DEPTH SHAPE -> "clat-p50 clat-p99 lat-p50 lat-p99" in us
fio_lat() {
  local work=$1 out=$1/fio.json bytes
  bytes=$(bytes_of "$3")
  local args=(--name=lat --directory="$work/fio" --direct=1 --rw=read --bs="$bytes" --time_based
              --runtime="$SECONDS_PER_RUN" --lat_percentiles=1 --output-format=json --output="$out")
  if [[ $2 == sync ]]; then
    args+=(--ioengine=psync --size="$bytes")
  else
    args+=(--ioengine=io_uring --iodepth="$4" --size=$(($4 * bytes)))
    [[ $5 == batch ]] && args+=(--iodepth_batch_submit="$4" --iodepth_batch_complete_min="$4")
  fi
  mkdir -p "$work/fio"
  fio "${args[@]}" >/dev/null 2>&1
  local kind p values=()
  for kind in clat_ns lat_ns; do
    for p in 50.000000 99.000000; do
      values+=("$(json_get "$out" ".jobs[0].read.$kind.percentile[\"$p\"]")")
    done
  done
  awk -v v="${values[*]}" 'BEGIN { n = split(v, a, " "); for (i = 1; i <= n; i++) printf "%s%s", (a[i] == "NA" ? "NA" : sprintf("%.3f", a[i] / 1000)), (i < n ? " " : "\n") }'
  rm -rf -- "$work/fio" "$out"
}

echo "stratavon-cli: $CLI; fio: $(fio --version); $PAIRS runs per tool x ${SECONDS_PER_RUN}s"
for target in "$@"; do
  [[ -d $target ]] || { echo "latency_fio: $target is not a folder; skipped" >&2; continue; }
  work=$(mktemp -d "${target%/}/latency_fio.XXXXXX") || continue
  SCRATCHES+=("$work")
  for line in "${CASES[@]}"; do
    read -r name mode size depth <<<"$line"
    shapes=(stream)
    [[ $mode == async ]] && shapes=(stream batch)
    for ((i = 1; i <= PAIRS; i++)); do
      echo "$target $name $i ours $(ours "$work" "$mode" "$size" "$depth")" >>"$RESULTS"
      for shape in "${shapes[@]}"; do
        echo "$target $name $i fio-$shape $(fio_lat "$work" "$mode" "$size" "$depth" "$shape")" >>"$RESULTS"
      done
    done
  done
done

echo
echo "== Medians (us) over $PAIRS runs; r = ours / fio clat; fio lat = submission + clat"
printf '%-10s %-7s %-10s %-7s %9s %9s %9s %9s %9s %9s %6s %6s\n' target fs case shape "ours p50" "clat p50" \
  "lat p50" "ours p99" "clat p99" "lat p99" "p50 r" "p99 r"
for target in "$@"; do
  [[ -d $target ]] || continue
  fstype=$(fs_type "$target")
  for line in "${CASES[@]}"; do
    read -r name mode _ <<<"$line"
    o50=$(pick "$target" "$name" ours 5 | median)
    o99=$(pick "$target" "$name" ours 6 | median)
    shapes=(stream)
    [[ $mode == async ]] && shapes=(stream batch)
    for shape in "${shapes[@]}"; do
      f50=$(pick "$target" "$name" "fio-$shape" 5 | median)
      f99=$(pick "$target" "$name" "fio-$shape" 6 | median)
      l50=$(pick "$target" "$name" "fio-$shape" 7 | median)
      l99=$(pick "$target" "$name" "fio-$shape" 8 | median)
      ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (a == "NA" || b == "NA" || b == 0) print "NA"; else printf "%.2f", a / b }'; }
      printf '%-10s %-7s %-10s %-7s %9s %9s %9s %9s %9s %9s %6s %6s\n' "$target" "$fstype" "$name" "$shape" \
        "$o50" "$f50" "$l50" "$o99" "$f99" "$l99" "$(ratio "$o50" "$f50")" "$(ratio "$o99" "$f99")"
    done
  done
done
