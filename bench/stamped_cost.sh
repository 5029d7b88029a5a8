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

CLI=/tmp/build-bench/src/cli/stratavon-cli
PAIRS=5
SECONDS_PER_RUN=3
THREADS=1
DEPTH=8
CASE_FILTER=''

usage() { sed -n '/^# Usage:/,/^# Each DIR/p' "$0" | sed 's/^# \{0,1\}//'; exit 2; }

while getopts 'c:p:s:n:q:k:h' opt; do
  case $opt in
    c) CLI=$OPTARG ;;
    p) PAIRS=$OPTARG ;;
    s) SECONDS_PER_RUN=$OPTARG ;;
    n) THREADS=$OPTARG ;;
    q) DEPTH=$OPTARG ;;
    k) CASE_FILTER=$OPTARG ;;
    *) usage ;;
  esac
done
shift $((OPTIND - 1))
[[ $# -ge 1 ]] || usage
for v in "$PAIRS" "$SECONDS_PER_RUN" "$THREADS" "$DEPTH"; do
  [[ $v =~ ^[1-9][0-9]*$ ]] || { echo "stamped_cost: -p, -s, -n and -q take positive integers, not \"$v\"" >&2; exit 2; }
done
[[ -x $CLI ]] || { echo "stamped_cost: no stratavon-cli at $CLI (build it, or pass -c)" >&2; exit 2; }

BENCH_NAME=stamped_cost
# shellcheck source=bench/bench_lib.sh
source "$(dirname "$0")/bench_lib.sh"

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

for target in "$@"; do
  if [[ ! -d $target ]]; then
    echo "stamped_cost: $target is not a folder; skipped" >&2
    continue
  fi
  work=$(mktemp -d "${target%/}/stamped_cost.XXXXXX") || continue
  SCRATCHES+=("$work")
  echo
  echo "== $target ($(fs_type "$work"))"
  for line in "${CASES[@]}"; do
    read -r name mode size function <<<"$line"
    [[ -n $CASE_FILTER && ! $name =~ $CASE_FILTER ]] && continue
    for ((i = 1; i <= PAIRS; i++)); do
      # Alternate which side goes first, so a drift over time favours neither.
      order=(0 1)
      ((i % 2 == 0)) && order=(1 0)
      row=$(printf '%-16s #%d' "$name" "$i")
      for check in "${order[@]}"; do
        res=$(run_one "$work" "$mode" "$size" "$function" "$check")
        read -r m io <<<"$res"
        side=plain
        [[ $check == 1 ]] && side=stamped
        echo "$target $name $i $side $m $io" >>"$RESULTS"
        row+=$(printf ' | %-7s %9s MB/s' "$side" "$m")
      done
      echo "$row"
    done
  done
done


echo
echo "== Medians over $PAIRS interleaved pairs (ratio = median of per-pair stamped/plain MB/s)"
printf '%-10s %-7s %-16s %11s %11s %7s %13s %6s\n' target fs case "plain MB/s" "stamped" ratio "min..max" goal
for target in "$@"; do
  [[ -d $target ]] || continue
  fstype=$(fs_type "$target")
  goal=0.90
  [[ $fstype == tmpfs || $fstype == ramfs ]] && goal=0.75
  for line in "${CASES[@]}"; do
    read -r name _ <<<"$line"
    [[ -n $CASE_FILTER && ! $name =~ $CASE_FILTER ]] && continue
    pick() { awk -v t="$target" -v c="$name" -v s="$1" '$1 == t && $2 == c && $4 == s { print $5 }' "$RESULTS"; }
    pm=$(pick plain | median)
    cm=$(pick stamped | median)
    ratios=$(awk -v t="$target" -v c="$name" '
      $1 == t && $2 == c && $4 == "plain" { p[$3] = $5 }
      $1 == t && $2 == c && $4 == "stamped" { k[$3] = $5 }
      END { for (i in p) if ((i in k) && p[i] != "NA" && k[i] != "NA" && p[i] > 0) printf "%.3f\n", k[i] / p[i] }' "$RESULTS")
    ratio=$(median <<<"$ratios")
    range=$(grep -v '^$' <<<"$ratios" | sort -g | awk 'NR == 1 { lo = $1 } { hi = $1 } END { if (NR) printf "%.2f..%.2f", lo, hi; else print "NA" }')
    verdict=$(awk -v r="$ratio" -v g="$goal" 'BEGIN { if (r == "NA") print "?"; else print (r + 0 >= g + 0 ? "ok" : "BELOW") }')
    printf '%-10s %-7s %-16s %11s %11s %7s %13s %4s %s\n' "$target" "$fstype" "$name" "$pm" "$cm" "$ratio" "$range" "$goal" "$verdict"
  done
done
