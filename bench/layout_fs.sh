#!/usr/bin/env bash
# How the work files' layout shows on ext4, xfs and btrfs: for each file
# system, a fresh one on a loop device over a file in a temporary folder,
# the run of 4 workers x 4KB direct writes at depth 32 in batches
# (the shape the workers use by default) by one or more builds of
# stratavon-cli, against fio on files it lays out itself (--numjobs=4,
# --size=128k each, the same batch options), in a fresh folder for every
# run so that every run of ours lays its files out again. Rounds alternate
# the order of the sides. After each run of ours, filefrag counts the
# extents of its work files (median per file).
#
# To compare layout choices, build one stratavon-cli per choice and name
# each: -b both=/tmp/a/stratavon-cli -b allocate=/tmp/b/stratavon-cli ...
#
# Usage:
#   bench/layout_fs.sh [-b LABEL=CLI]... [-p ROUNDS] [-s SECONDS] [-f "ext4 xfs btrfs"]
#     -b  a build to run (default: ours=/tmp/build-bench/src/cli/stratavon-cli)
#     -p  rounds (default 3)
#     -s  seconds per run (default 3)
#     -f  file systems (default "ext4 xfs btrfs"; each needs its mkfs)
# Needs root (losetup, mount), fio, filefrag, and jq or python3. The loop
# devices and mounts go on every exit. Not a test; not run in CI.

set -u
set -o pipefail

BENCH_NAME=layout_fs
# shellcheck source=bench/bench_lib.sh
source "$(dirname "$0")/bench_lib.sh"

BUILDS=()
ROUNDS=3
SECONDS_PER_RUN=3
FILESYSTEMS="ext4 xfs btrfs"
while getopts b:p:s:f: opt; do
  case $opt in
    b) BUILDS+=("$OPTARG") ;;
    p) ROUNDS=$OPTARG ;;
    s) SECONDS_PER_RUN=$OPTARG ;;
    f) FILESYSTEMS=$OPTARG ;;
    *) sed -n '/^# Usage:/,/^# Needs root/p' "$0" | sed 's/^# \{0,1\}//'; exit 2 ;;
  esac
done
((${#BUILDS[@]})) || BUILDS=(ours=/tmp/build-bench/src/cli/stratavon-cli)
command -v fio >/dev/null || { echo "$BENCH_NAME: needs fio" >&2; exit 2; }

WORK=$(mktemp -d /tmp/layout_fs.XXXXXX)
MOUNTED=''
LOOP=''
detach() {
  [[ -n $MOUNTED ]] && umount "$MOUNTED"
  [[ -n $LOOP ]] && losetup -d "$LOOP"
  MOUNTED='' LOOP=''
}
all_cleanup() {
  detach
  rm -rf -- "$WORK"
  cleanup
}
trap all_cleanup EXIT

# make_fs TYPE: a fresh TYPE on a new loop device, mounted at $WORK/mnt.
make_fs() {
  detach
  rm -f -- "$WORK/image"
  mkdir -p "$WORK/mnt"
  truncate -s 2G "$WORK/image" || return 1
  LOOP=$(losetup -f --show --direct-io=on "$WORK/image") || { LOOP=''; return 1; }
  case $1 in
    ext4) mkfs.ext4 -q -F "$LOOP" ;;
    xfs) mkfs.xfs -q -f "$LOOP" ;;
    btrfs) mkfs.btrfs -q -f "$LOOP" >/dev/null ;;
  esac || return 1
  mount "$LOOP" "$WORK/mnt" && MOUNTED=$WORK/mnt
}

# run_side SIDE -> "mbps extents"
run_side() {
  local dir
  dir=$(mktemp -d "$WORK/mnt/run.XXXXXX")
  if [[ $1 == fio ]]; then
    fio --name=layout --direct=1 --rw=write --bs=4k --ioengine=io_uring --iodepth=32 \
      --iodepth_batch_submit=32 --iodepth_batch_complete_min=32 --size=128k --numjobs=4 \
      --directory="$dir" --filename_format='job$jobnum.dat' --group_reporting --time_based \
      --runtime="$SECONDS_PER_RUN" --output-format=json --output="$dir/fio.json" >/dev/null 2>&1
    local bw
    bw=$(json_get "$dir/fio.json" '.jobs[0].write.bw_bytes')
    local ext
    ext=$(for f in "$dir"/job*.dat; do filefrag "$f" | awk '{ print $2 }'; done | median)
    awk -v b="$bw" -v e="$ext" 'BEGIN { if (b == "NA") print "NA NA"; else printf "%.1f %s\n", b / 1048576, e }'
  else
    local cli=${1#*=}
    KEEP_WORK_FILES=1 CLI=$cli cli_rates "$dir" -f write -n 4 -x 4KB -b 4KB -P -a -q 32 -d "$SECONDS_PER_RUN" |
      { read -r mbps _; echo "$mbps $(for f in "$dir"/WRITE/*.DAT; do filefrag "$f" | awk '{ print $2 }'; done | median)"; }
  fi
  rm -rf -- "$dir"
}

echo "$ROUNDS rounds x ${SECONDS_PER_RUN}s, 4 workers x 4KB direct writes at depth 32, batch shape; MB/s = MiB/s"
for fs in $FILESYSTEMS; do
  command -v "mkfs.$fs" >/dev/null || { echo "$BENCH_NAME: no mkfs.$fs; $fs skipped" >&2; continue; }
  make_fs "$fs" || { echo "$BENCH_NAME: no $fs on a loop device here" >&2; detach; continue; }
  sides=("${BUILDS[@]}" fio)
  for ((i = 1; i <= ROUNDS; i++)); do
    ((i % 2 == 0)) && order=($(printf '%s\n' "${sides[@]}" | tac)) || order=("${sides[@]}")
    row="$fs #$i"
    for side in "${order[@]}"; do
      res=$(run_side "$side")
      label=${side%%=*}
      echo "$fs $label $i $res" >>"$RESULTS"
      row+=" | $label ${res% *} MB/s (${res#* } extents)"
    done
    echo "$row"
  done
  detach
done

echo
echo "== Medians over $ROUNDS alternating rounds (ratio = median of per-round ours/fio MB/s, min..max)"
printf '%-6s %-10s %10s %10s %8s %13s %9s\n' fs build "MB/s" "fio MB/s" ratio min..max extents
for fs in $FILESYSTEMS; do
  for build in "${BUILDS[@]}"; do
    label=${build%%=*}
    ours=$(awk -v f="$fs" -v l="$label" '$1 == f && $2 == l { print $4 }' "$RESULTS" | median)
    [[ $ours == NA ]] && continue
    theirs=$(awk -v f="$fs" '$1 == f && $2 == "fio" { print $4 }' "$RESULTS" | median)
    ext=$(awk -v f="$fs" -v l="$label" '$1 == f && $2 == l { print $5 }' "$RESULTS" | median)
    ratios=$(awk -v f="$fs" -v l="$label" '$1 == f && $2 == l { a[$3] = $4 } $1 == f && $2 == "fio" { b[$3] = $4 }
      END { for (i in a) if ((i in b) && a[i] != "NA" && b[i] != "NA" && b[i] > 0) printf "%.3f\n", a[i] / b[i] }' "$RESULTS")
    printf '%-6s %-10s %10s %10s %8s %13s %9s\n' "$fs" "$label" "$ours" "$theirs" "$(median <<<"$ratios")" \
      "$(span <<<"$ratios")" "$ext"
  done
done
