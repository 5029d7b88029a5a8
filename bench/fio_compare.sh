#!/usr/bin/env bash
# Compares stratavon-cli with fio as a user would: each tool on work files of
# its own, laid out by itself, in a folder of its own on the same file system
# (fresh for every case, the same size on both sides), both in the same
# queue shape, so a slow path in our workers shows up as a ratio well below 1.
#
# Cases: asynchronous direct I/O, read and write, 4KB at depth 32, 64KB and
# 1MB at depth 8, with 1 and 4 workers (fio: as many jobs, one file each of
# depth x transfer bytes, the size of one of our work files). Each case runs
# in both queue shapes, and the columns say which shape each side ran:
#   batch : ours as the worker does by default (issue depth, wait for all of
#           them, complete, repeat); fio with --iodepth_batch_submit=DEPTH
#           --iodepth_batch_complete_min=DEPTH, which is the same shape.
#   keep  : ours with --keep-depth (each completion checked, counted and
#           replaced at once); fio with its defaults (--iodepth=DEPTH only).
# A "verified" row per read case and shape: ours with -e (every buffer's
# checksum compared) against fio's plain read in that shape, not against our
# own unverified rate. Goals: 1.0 for the plain rows; for the verified rows
# 0.90 on a disk, 0.75 on RAM (/dev/shm).
# A "best" fio side per case: fio at its best on this machine, in the same
# shape plus --fixedbufs --registerfiles and, where huge pages can be
# reserved (root, /proc/sys/vm/nr_hugepages), --mem=mmaphuge; the script
# reserves the pages it needs and gives them back on every exit. BEST=0
# leaves that side out. Every run of ours is told which I/O backend it got
# (the run's JSON); STRATAVON_IO_REGISTER=off measures ours without
# registered buffers and files.
#
# The machine this was written on is shared and noisy, so every case runs in
# rounds whose order alternates (ours first, then fio first, ...), and the
# table shows the median of the per-round ratios ours/fio with their
# min..max. MB/s are MiB/s (2^20). Rates are never asserted anywhere.
#
# Usage:
#   cmake -S . -B /tmp/build-bench -DCMAKE_BUILD_TYPE=Release
#   cmake --build /tmp/build-bench -j2 --target stratavon-cli
#   bench/fio_compare.sh [-c CLI] [-p ROUNDS] [-s SECONDS] [-k CASES] DIR [DIR ...]
#     -c  stratavon-cli binary (default /tmp/build-bench/src/cli/stratavon-cli)
#     -p  rounds per case (default 5)
#     -s  seconds per run (default 3)
#     -k  only cases whose name matches this extended regex, names being
#         FUNC-SIZE-qDEPTH-nWORKERS-SHAPE[-verified], e.g. 'w-4KB-q32-n4' or 'keep'
#   e.g. bench/fio_compare.sh -p 3 -s 2 /var/tmp /dev/shm
#   LOOP_EXT4=SIZE bench/fio_compare.sh ...  also makes an ext4 of SIZE (e.g.
#     2G) on a loop device over a file in a temporary folder, runs every case
#     there too, and detaches it when the script ends.
#   VERIFIED=0 leaves the verified rows out (on a device their fill of the
#     whole device, every round, disturbs the plain rows that follow).
#   LOOP_DEVICE=SIZE bench/fio_compare.sh ...  also runs every case on a raw
#     loop device of SIZE over a file in a temporary folder (ours with
#     -t DEVICE --destroy DEVICE, each worker on its slice; fio with
#     --filename=DEVICE, each job on a slice as large at --offset_increment),
#     detached when the script ends. DIRs may then be left out.
# Each DIR gets a private scratch folder that is removed afterwards. Needs fio,
# and jq or python3. Not a test; not run in CI.

set -u
set -o pipefail

BENCH_NAME=fio_compare
KEEP_WORK_FILES=1
# shellcheck source=bench/bench_lib.sh
source "$(dirname "$0")/bench_lib.sh"
[[ -n ${LOOP_DEVICE:-} ]] && BENCH_DIRS_OPTIONAL=1
bench_options 5 - "$@"
command -v fio >/dev/null || { echo "fio_compare: fio is not installed" >&2; exit 2; }

# Huge pages for fio's best side: as many as four jobs of the largest case
# take (depth x transfer, rounded up to 2 MiB, plus one each), added to what
# the system holds and taken back off on exit.
HUGE_ADDED=0
HUGE_MEM=''
huge_reserve() {
  local knob=/proc/sys/vm/nr_hugepages want=$((4 * (8 + 1))) before after
  [[ ${BEST:-1} == 1 && -w $knob ]] || return 0
  before=$(cat "$knob")
  echo $((before + want)) >"$knob" 2>/dev/null || return 0
  after=$(cat "$knob")
  HUGE_ADDED=$((after - before))
  if ((HUGE_ADDED >= want)); then HUGE_MEM=mmaphuge; else echo "fio_compare: only $HUGE_ADDED huge pages; fio's best side without them" >&2; fi
}
huge_release() {
  local knob=/proc/sys/vm/nr_hugepages
  ((HUGE_ADDED > 0)) && echo $(($(cat "$knob") - HUGE_ADDED)) >"$knob"
  HUGE_ADDED=0
}

# An ext4 of our own on a loop device, gone with the script on every path.
LOOP_DEV=''
LOOP_DIR=''
loop_cleanup() {
  huge_release
  if [[ -n $LOOP_DIR ]]; then
    mountpoint -q "$LOOP_DIR/mnt" && umount "$LOOP_DIR/mnt"
    [[ -n $LOOP_DEV ]] && losetup -d "$LOOP_DEV"
    [[ -n ${RAW_DEV:-} ]] && losetup -d "$RAW_DEV"
    rm -rf -- "$LOOP_DIR"
  fi
  cleanup
}
trap loop_cleanup EXIT
DEVICES=()
DEVICE_BYTES=0
if [[ -n ${LOOP_DEVICE:-} ]]; then
  [[ -n $LOOP_DIR ]] || LOOP_DIR=$(mktemp -d /tmp/fio_compare_loop.XXXXXX)
  truncate -s "$LOOP_DEVICE" "$LOOP_DIR/device" &&
    RAW_DEV=$(losetup -f --show --direct-io=on "$LOOP_DIR/device") ||
    { echo "fio_compare: no loop device (needs root and losetup)" >&2; exit 2; }
  DEVICES+=("$RAW_DEV")
  DEVICE_BYTES=$(blockdev --getsize64 "$RAW_DEV")
  # Written once through before any side runs: a read of a sparse backing
  # file's holes never reaches the disk, and whichever side ran first would
  # read holes where a later one reads what the writes left.
  echo "fio_compare: writing $RAW_DEV through once" >&2
  fio --name=fill --filename="$RAW_DEV" --rw=write --bs=1m --direct=1 --ioengine=psync \
    --size="$DEVICE_BYTES" >/dev/null 2>&1 ||
    { echo "fio_compare: could not write $RAW_DEV through" >&2; exit 2; }
fi
if [[ -n ${LOOP_EXT4:-} ]]; then
  LOOP_DIR=$(mktemp -d /tmp/fio_compare_loop.XXXXXX)
  mkdir "$LOOP_DIR/mnt"
  truncate -s "$LOOP_EXT4" "$LOOP_DIR/image" &&
    LOOP_DEV=$(losetup -f --show --direct-io=on "$LOOP_DIR/image") &&
    mkfs.ext4 -q -F "$LOOP_DEV" && mount "$LOOP_DEV" "$LOOP_DIR/mnt" ||
    { echo "fio_compare: no loop-mounted ext4 (needs root, losetup, mkfs.ext4)" >&2; exit 2; }
  DIRS+=("$LOOP_DIR/mnt")
fi

target_type() { if [[ -b $1 ]]; then echo device; else fs_type "$1"; fi; }

bytes_of() {  # 4KB 1MB -> bytes
  case $1 in
    *MB) echo $((${1%MB} * 1048576)) ;;
    *KB) echo $((${1%KB} * 1024)) ;;
  esac
}

# Case table: func size depth workers
CASES=()
for func in w r; do
  for sd in "4KB 32" "64KB 8" "1MB 8"; do
    for n in 1 4; do CASES+=("$func $sd $n"); done
  done
done

# run_ours WORK FUNC SIZE DEPTH WORKERS SHAPE VERIFY -> "mbps iops" or "NA NA"
run_ours() {
  local f=write
  [[ $2 == r ]] && f=read
  local args=(-f "$f" -n "$5" -x "$3" -b "$3" -P -a -q "$4" -d "$SECONDS_PER_RUN")
  [[ $6 == keep ]] && args+=(--keep-depth)
  [[ $7 == 1 ]] && args+=(-e)
  # A device is written only where the run writes (or seeds it for -e).
  [[ -n $TARGET_DEVICE && ($2 == w || $7 == 1) ]] && args+=(--destroy "$TARGET_DEVICE")
  CLI_TARGET=$TARGET_DEVICE cli_rates "$1" "${args[@]}"
}

# run_fio WORK FUNC SIZE DEPTH WORKERS SHAPE [best] -> "mbps iops" or "NA NA"
# fio's files are its own, in WORK, laid out by fio on its first run and
# reused (right size) after.
run_fio() {
  local work=$1 f=write size depth=$4 n=$5 shape=$6 best=${7:-} out=$1/fio.json
  [[ $2 == r ]] && f=read
  size=$(bytes_of "$3")
  local args=(--direct=1 --rw="$f" --bs="$size" --ioengine=io_uring --iodepth="$depth" --numjobs="$n"
              --group_reporting --time_based --runtime="$SECONDS_PER_RUN"
              --output-format=json --output="$out" --name=cmp)
  if [[ -n $TARGET_DEVICE ]]; then
    local slice=$((DEVICE_BYTES / n / size * size))
    args+=(--filename="$TARGET_DEVICE" --size="$slice" --offset_increment="$slice")
  else
    args+=(--size=$((depth * size)) --directory="$work" --filename_format='job$jobnum.dat')
  fi
  [[ $shape == batch ]] && args+=(--iodepth_batch_submit="$depth" --iodepth_batch_complete_min="$depth")
  [[ -n $best ]] && args+=(--fixedbufs --registerfiles)
  [[ -n $best && -n $HUGE_MEM ]] && args+=(--mem="$HUGE_MEM")
  fio "${args[@]}" >"$work/fio.err" 2>&1
  local rc=$? err bw iops
  err=$(json_get "$out" '.jobs[0].error')
  if [[ $rc != 0 || $err != 0 ]]; then
    echo "  fio failed (rc=$rc, error=$err): $(tail -n 2 "$work/fio.err" | tr '\n' ' ')" >&2
    echo "NA NA"
  else
    bw=$(json_get "$out" ".jobs[0].$f.bw_bytes")
    iops=$(json_get "$out" ".jobs[0].$f.iops")
    awk -v b="$bw" -v i="$iops" 'BEGIN { printf "%.3f %.3f\n", b / 1048576, i }'
  fi
  rm -f -- "$out" "$work/fio.err"
}

huge_reserve
echo "stratavon-cli: $CLI (STRATAVON_IO_BACKEND=${STRATAVON_IO_BACKEND:-auto}, registered buffers and files: ${STRATAVON_IO_REGISTER:-on})"
echo "fio: $(fio --version); $PAIRS rounds x ${SECONDS_PER_RUN}s; MB/s = MiB/s; fio best: --fixedbufs --registerfiles ${HUGE_MEM:+--mem=$HUGE_MEM}"

TARGET_DEVICE=''
for target in "${DIRS[@]}" "${DEVICES[@]}"; do
  TARGET_DEVICE=''
  [[ -b $target ]] && TARGET_DEVICE=$target
  if [[ ! -d $target && -z $TARGET_DEVICE ]]; then
    echo "fio_compare: $target is not a folder; skipped" >&2
    continue
  fi
  echo
  echo "== $target ($(target_type "$target"))"
  for line in "${CASES[@]}"; do
    read -r func size depth n <<<"$line"
    for shape in batch keep; do
      name="$func-$size-q$depth-n$n-$shape"
      verified=0
      [[ $func == r ]] && verified=1
      case_wanted "$name" || { ((verified)) && case_wanted "$name-verified"; } || continue
      # Fresh folders for each side, kept over the rounds of the case.
      scratch=${target%/}
      [[ -n $TARGET_DEVICE ]] && scratch=/tmp
      ours=$(mktemp -d "$scratch/fio_compare_ours.XXXXXX") || continue
      theirs=$(mktemp -d "$scratch/fio_compare_fio.XXXXXX") || continue
      SCRATCHES+=("$ours" "$theirs")
      for ((i = 1; i <= PAIRS; i++)); do
        sides=(ours fio)
        ((verified && ${VERIFIED:-1})) && sides=(ours verified fio)
        [[ ${BEST:-1} == 1 ]] && sides+=(best)
        ((i % 2 == 0)) && sides=($(printf '%s\n' "${sides[@]}" | tac))
        row=$(printf '%-22s #%d' "$name" "$i")
        for side in "${sides[@]}"; do
          case $side in
            ours) res=$(run_ours "$ours" "$func" "$size" "$depth" "$n" "$shape" 0) ;;
            verified) res=$(run_ours "$ours" "$func" "$size" "$depth" "$n" "$shape" 1) ;;
            fio) res=$(run_fio "$theirs" "$func" "$size" "$depth" "$n" "$shape") ;;
            best) res=$(run_fio "$theirs" "$func" "$size" "$depth" "$n" "$shape" best) ;;
          esac
          echo "$target $name $i $side $res" >>"$RESULTS"
          row+=$(printf ' | %-8s %9s MB/s' "$side" "${res% *}")
        done
        echo "$row"
      done
      rm -rf -- "$ours" "$theirs"
    done
  done
done

echo
echo "== Medians over $PAIRS alternating rounds (ratio = median of per-round ours/fio MB/s, min..max)"
printf '%-26s %-9s %-26s %-32s %10s %10s %7s %13s %-5s %10s %8s %13s\n' \
  target fs case "shapes ours/fio" "ours MB/s" "fio MB/s" ratio "min..max" goal "best MB/s" "vs best" "min..max"
for target in "${DIRS[@]}" "${DEVICES[@]}"; do
  [[ -d $target || -b $target ]] || continue
  fstype=$(target_type "$target")
  goal_verified=0.90
  [[ $fstype == tmpfs ]] && goal_verified=0.75
  for line in "${CASES[@]}"; do
    read -r func size depth n <<<"$line"
    for shape in batch keep; do
      name="$func-$size-q$depth-n$n-$shape"
      fshape='fio batch opts'
      oshape='ours batch'
      [[ $shape == keep ]] && fshape='fio defaults' oshape='ours --keep-depth'
      rows=(ours)
      [[ $func == r ]] && rows+=(verified)
      for side in "${rows[@]}"; do
        label=$name goal=1.00 shapes="$oshape/$fshape"
        [[ $side == verified ]] && label="$name-verified" goal=$goal_verified shapes="$oshape -e/$fshape"
        om=$(pick "$target" "$name" "$side" 5 | median)
        [[ $om == NA ]] && continue
        fm=$(pick "$target" "$name" fio 5 | median)
        ratios=$(pair_ratios "$target" "$name" 5 "$side" fio)
        bm=$(pick "$target" "$name" best 5 | median)
        bratios=$(pair_ratios "$target" "$name" 5 "$side" best)
        printf '%-26s %-9s %-26s %-32s %10s %10s %7s %13s %-5s %10s %8s %13s\n' "$target" "$fstype" "$label" \
          "$shapes" "$om" "$fm" "$(median <<<"$ratios")" "$(span <<<"$ratios")" "$goal" \
          "$bm" "$(median <<<"$bratios")" "$(span <<<"$bratios")"
      done
    done
  done
done
