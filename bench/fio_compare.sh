#!/usr/bin/env bash
# Compares stratavon-cli with fio on the same folder and the same I/O shape, so a
# slow path in our workers shows up as a ratio well below 1 rather than as a
# number nobody can judge on its own.
#
# Cases (direct I/O throughout, 1 worker / 1 fio job unless -n says otherwise):
#   sync   : rewrite (or reread) one B-byte file from offset 0 in T-byte calls,
#            again and again; fio: psync, rw=write|read, size=B, bs=T, time_based.
#            T/B = 1MB/1MB, 64KB/1MB, 4KB/1MB.
#   async  : D requests, each owning a B-byte region of a D*B file, B=T;
#            fio: io_uring, rw=write|read, size=D*B, bs=T, time_based, in two
#            shapes: "batch" (submit D, wait for all D, repeat, which is what our
#            worker does) and "refill" (fio's usual: top the queue up as each
#            completion arrives). 1MB q8, 64KB q8, 4KB q32.
#
# fio reads and writes the work files stratavon-cli left behind (READ/KORVA<n>.DAT,
# WRITE/KORVA<25+n>.DAT, one per job): where a file lies on the disk alone moved
# fio's read rate by 1.4x between files. Each pair starts with ours in its first
# round, so the files exist before fio needs them; they go when the case ends.
#
# The disk this was written on is fast and noisy (one fio job varies 2x between
# runs), so runs are interleaved (ours, fio[, fio-refill], then fio[, fio-refill],
# ours, and so on, so a drift over time favours neither side) and the table
# reports medians of the per-pair ratios ours/fio. MB/s are MiB/s (2^20).
#
# Usage:
#   cmake -S . -B /tmp/build-bench -DCMAKE_BUILD_TYPE=Release
#   cmake --build /tmp/build-bench -j2 --target stratavon-cli
#   bench/fio_compare.sh [-c CLI] [-p PAIRS] [-s SECONDS] [-n THREADS] [-k CASES] DIR [DIR ...]
#     -c  stratavon-cli binary (default /tmp/build-bench/src/cli/stratavon-cli)
#     -p  interleaved pairs per case (default 5)
#     -s  seconds per run (default 3)
#     -n  workers / fio jobs (default 1)
#     -k  only cases whose name matches this extended regex (e.g. 'sync-w|async-r')
#   e.g. bench/fio_compare.sh -p 3 -s 3 /var/tmp /dev/shm
#   BEFORE_CLI=/path/to/older/stratavon-cli bench/fio_compare.sh ...
#     also runs that binary in every pair (a "before" column against the same
#     fio runs, for judging a change on a disk that drifts between runs)
# Each DIR gets a private scratch folder that is removed afterwards. Needs fio,
# and jq or python3. Not a test; not run in CI.

set -u
set -o pipefail

BENCH_NAME=fio_compare
KEEP_WORK_FILES=1
# shellcheck source=bench/bench_lib.sh
source "$(dirname "$0")/bench_lib.sh"
# -p defaults to 5 pairs; no -q.
bench_options 5 - "$@"
command -v fio >/dev/null || { echo "fio_compare: fio is not installed" >&2; exit 2; }

bytes_of() {  # 512B 4KB 1MB -> bytes
  local s=$1
  case $s in
    *MB) echo $((${s%MB} * 1048576)) ;;
    *KB) echo $((${s%KB} * 1024)) ;;
    *B) echo "${s%B}" ;;
  esac
}

# Case table: name mode func transfer buffer depth
CASES=(
  "sync-w-1MB/1MB   sync  write 1MB  1MB  1"
  "sync-r-1MB/1MB   sync  read  1MB  1MB  1"
  "sync-w-64KB/1MB  sync  write 64KB 1MB  1"
  "sync-r-64KB/1MB  sync  read  64KB 1MB  1"
  "sync-w-4KB/1MB   sync  write 4KB  1MB  1"
  "sync-r-4KB/1MB   sync  read  4KB  1MB  1"
  "async-w-1MB-q8   async write 1MB  1MB  8"
  "async-r-1MB-q8   async read  1MB  1MB  8"
  "async-w-64KB-q8  async write 64KB 64KB 8"
  "async-r-64KB-q8  async read  64KB 64KB 8"
  "async-w-4KB-q32  async write 4KB  4KB  32"
  "async-r-4KB-q32  async read  4KB  4KB  32"
)

# run_ours WORK FUNC T B DEPTH MODE -> "mbps iops" or "NA NA"
run_ours() {
  local args=(-f "$2" -n "$THREADS" -x "$3" -b "$4" -P -d "$SECONDS_PER_RUN")
  [[ $6 == async ]] && args+=(-a -q "$5")
  cli_rates "$1" "${args[@]}"
}
BEFORE_CLI=${BEFORE_CLI:-}
if [[ -n $BEFORE_CLI && ! -x $BEFORE_CLI ]]; then
  echo "fio_compare: BEFORE_CLI $BEFORE_CLI is not executable" >&2
  exit 2
fi
run_before() { CLI=$BEFORE_CLI run_ours "$@"; }

# run_fio WORK FUNC T B DEPTH MODE SHAPE -> "mbps iops" or "NA NA"
run_fio() {
  local work=$1 func=$2 t=$3 b=$4 depth=$5 mode=$6 shape=$7 out=$1/fio.json
  local tb bb
  tb=$(bytes_of "$t")
  bb=$(bytes_of "$b")
  # Global options first, then one job per work file of ours.
  local args=(--direct=1 --rw="$func" --bs="$tb"
              --group_reporting --time_based --runtime="$SECONDS_PER_RUN"
              --output-format=json --output="$out")
  if [[ $mode == sync ]]; then
    args+=(--ioengine=psync --size="$bb")
  else
    args+=(--ioengine=io_uring --size=$((depth * bb)) --iodepth="$depth")
    [[ $shape == batch ]] && args+=(--iodepth_batch_submit="$depth" --iodepth_batch_complete_min="$depth")
  fi
  local j file
  for ((j = 0; j < THREADS; j++)); do
    if [[ $func == write ]]; then file=$work/WRITE/KORVA$((25 + j)).DAT; else file=$work/READ/KORVA$j.DAT; fi
    [[ -f $file ]] || { echo "  fio: no work file $file from ours" >&2; echo "NA NA"; return; }
    args+=(--name="cmp$j" --filename="$file")
  done
  fio "${args[@]}" >"$work/fio.err" 2>&1
  local rc=$? err bw iops
  err=$(json_get "$out" '.jobs[0].error')
  if [[ $rc != 0 || $err != 0 ]]; then
    echo "  fio failed (rc=$rc, error=$err): $(tail -n 2 "$work/fio.err" | tr '\n' ' ')" >&2
    echo "NA NA"
  else
    bw=$(json_get "$out" ".jobs[0].$func.bw_bytes")
    iops=$(json_get "$out" ".jobs[0].$func.iops")
    awk -v b="$bw" -v i="$iops" 'BEGIN { printf "%.3f %.3f\n", b / 1048576, i }'
  fi
  rm -f -- "$out" "$work/fio.err"
}

# stat -f names ext4 "ext2/ext3"; findmnt knows better.

echo "stratavon-cli: $CLI"
echo "fio: $(fio --version); $PAIRS pairs x ${SECONDS_PER_RUN}s, $THREADS worker(s)/job(s); MB/s = MiB/s"

for target in "${DIRS[@]}"; do
  if [[ ! -d $target ]]; then
    echo "fio_compare: $target is not a folder; skipped" >&2
    continue
  fi
  work=$(mktemp -d "${target%/}/fio_compare.XXXXXX") || continue
  SCRATCHES+=("$work")
  fstype=$(fs_type "$work")
  echo
  echo "== $target ($fstype)"
  for line in "${CASES[@]}"; do
    read -r name mode func t b depth <<<"$line"
    case_wanted "$name" || continue
    shapes=(psync)
    [[ $mode == async ]] && shapes=(batch refill)
    for ((i = 1; i <= PAIRS; i++)); do
      # Alternate who goes first, so a drift over time favours neither side.
      mine=(ours)
      [[ -n $BEFORE_CLI ]] && mine=(ours before)
      sides=("${mine[@]}" "${shapes[@]}")
      if ((i % 2 == 0)); then
        mine=(ours)
        [[ -n $BEFORE_CLI ]] && mine=(before ours)
        sides=("${shapes[@]}" "${mine[@]}")
      fi
      declare -A rate=()
      for side in "${sides[@]}"; do
        # Command substitution, not < <(...): the run's own cleanup must finish
        # before the next run starts in the same folder.
        if [[ $side == ours || $side == before ]]; then
          res=$(run_$side "$work" "$func" "$t" "$b" "$depth" "$mode")
          echo "$target $name $i $side $res" >>"$RESULTS"
        else
          res=$(run_fio "$work" "$func" "$t" "$b" "$depth" "$mode" "$side")
          echo "$target $name $i fio-$side $res" >>"$RESULTS"
        fi
        rate[$side]=$res
      done
      read -r om oi <<<"${rate[ours]}"
      row=$(printf '%-17s #%d ours %9s MB/s %11s IOPS' "$name" "$i" "$om" "$oi")
      [[ -n $BEFORE_CLI ]] && row+=$(printf ' | before %9s MB/s' "${rate[before]% *}")
      for shape in "${shapes[@]}"; do
        read -r fm _ <<<"${rate[$shape]}"
        row+=$(printf ' | fio-%s %9s MB/s' "$shape" "$fm")
      done
      echo "$row"
    done
    rm -rf -- "$work/READ" "$work/WRITE"
  done
done


echo
echo "== Medians over $PAIRS interleaved pairs (ratio = median of per-pair ours/fio MB/s)"
printf '%-10s %-9s %-17s %3s %-11s %10s %10s %11s %11s %7s %15s' \
  target fs case -n fio-shape "ours MB/s" "fio MB/s" "ours IOPS" "fio IOPS" ratio "ratio min..max"
[[ -n $BEFORE_CLI ]] && printf ' %7s %15s' before "before min..max"
echo
for target in "${DIRS[@]}"; do
  [[ -d $target ]] || continue
  fstype=$(fs_type "$target")
  for line in "${CASES[@]}"; do
    read -r name mode _ <<<"$line"
    case_wanted "$name" || continue
    shapes=(psync)
    [[ $mode == async ]] && shapes=(batch refill)
    for shape in "${shapes[@]}"; do
      om=$(pick "$target" "$name" ours 5 | median)
      oi=$(pick "$target" "$name" ours 6 | median)
      fm=$(pick "$target" "$name" "fio-$shape" 5 | median)
      fi_=$(pick "$target" "$name" "fio-$shape" 6 | median)
      ratios=$(pair_ratios "$target" "$name" 5 ours "fio-$shape")
      ratio=$(median <<<"$ratios")
      range=$(span <<<"$ratios")
      printf '%-10s %-9s %-17s %3s %-11s %10s %10s %11s %11s %7s %15s' \
        "$target" "$fstype" "$name" "$THREADS" "$shape" "$om" "$fm" "$oi" "$fi_" "$ratio" "$range"
      if [[ -n $BEFORE_CLI ]]; then
        ratios=$(pair_ratios "$target" "$name" 5 before "fio-$shape")
        printf ' %7s %15s' "$(median <<<"$ratios")" "$(span <<<"$ratios")"
      fi
      echo
    done
  done
done
