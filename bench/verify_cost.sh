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
  [[ $v =~ ^[1-9][0-9]*$ ]] || { echo "verify_cost: -p, -s, -n and -q take positive integers, not \"$v\"" >&2; exit 2; }
done
[[ -x $CLI ]] || { echo "verify_cost: no stratavon-cli at $CLI (build it, or pass -c)" >&2; exit 2; }

if command -v jq >/dev/null; then
  json_get() { jq -r "$2 // \"NA\"" "$1" 2>/dev/null || echo NA; }
elif command -v python3 >/dev/null; then
  json_get() {
    python3 - "$1" "$2" <<'EOF' 2>/dev/null || echo NA
import json, re, sys
v = json.load(open(sys.argv[1]))
for key, idx in re.findall(r'\.(\w+)(?:\[(\d+)\])?', sys.argv[2]):
    v = v[key]
    if idx:
        v = v[int(idx)]
print("NA" if v is None else v)
EOF
  }
else
  echo "verify_cost: needs jq or python3 to read JSON" >&2
  exit 2
fi

# Case table: name mode size
CASES=(
  "sync-1MB   sync  1MB"
  "sync-4MB   sync  4MB"
  "async-1MB  async 1MB"
  "async-4MB  async 4MB"
)

RESULTS=$(mktemp /tmp/verify_cost.XXXXXX)  # target case pair side mbps iops
SCRATCHES=()
cleanup() {
  local d
  for d in "${SCRATCHES[@]}"; do rm -rf -- "$d"; done
  rm -f -- "$RESULTS"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# run_one WORK MODE SIZE CHECK(0|1) -> "mbps iops" or "NA NA"
run_one() {
  local work=$1 mode=$2 size=$3 check=$4 out=$1/run.json
  local args=(run -t "$work" -f read -n "$THREADS" -x "$size" -b "$size" -P -d "$SECONDS_PER_RUN" --json)
  [[ $mode == async ]] && args+=(-a -q "$DEPTH")
  [[ $check == 1 ]] && args+=(-e)
  "$CLI" "${args[@]}" >"$out" 2>"$work/run.err"
  local failures status
  failures=$(json_get "$out" '.failures')
  status=$(json_get "$out" '.targets[0].status')
  if [[ $failures != 0 || $status == NA ]]; then
    echo "  run failed ($status, failures=$failures): $(tail -n 2 "$work/run.err" | tr '\n' ' ')" >&2
    echo "NA NA"
  else
    echo "$(json_get "$out" '.targets[0].mb_per_s') $(json_get "$out" '.targets[0].iops')"
  fi
  rm -rf -- "$work/READ" "$work/WRITE" "$out" "$work/run.err"
}

fs_type() { findmnt -no FSTYPE -T "$1" 2>/dev/null | head -n 1 || stat -f -c %T "$1" 2>/dev/null || echo '?'; }

echo "stratavon-cli: $CLI"
echo "$PAIRS pairs x ${SECONDS_PER_RUN}s, $THREADS worker(s), async depth $DEPTH; MB/s = MiB/s"

for target in "$@"; do
  if [[ ! -d $target ]]; then
    echo "verify_cost: $target is not a folder; skipped" >&2
    continue
  fi
  work=$(mktemp -d "${target%/}/verify_cost.XXXXXX") || continue
  SCRATCHES+=("$work")
  echo
  echo "== $target ($(fs_type "$work"))"
  for line in "${CASES[@]}"; do
    read -r name mode size <<<"$line"
    [[ -n $CASE_FILTER && ! $name =~ $CASE_FILTER ]] && continue
    for ((i = 1; i <= PAIRS; i++)); do
      # Alternate which side goes first, so a drift over time favours neither.
      order=(0 1)
      ((i % 2 == 0)) && order=(1 0)
      row=$(printf '%-10s #%d' "$name" "$i")
      for check in "${order[@]}"; do
        res=$(run_one "$work" "$mode" "$size" "$check")
        read -r m io <<<"$res"
        side=plain
        [[ $check == 1 ]] && side=checked
        echo "$target $name $i $side $m $io" >>"$RESULTS"
        row+=$(printf ' | %-7s %9s MB/s' "$side" "$m")
      done
      echo "$row"
    done
  done
done

median() {
  grep -v '^NA$' | sort -g | awk '{ v[NR] = $1 } END {
    if (NR == 0) { print "NA"; exit }
    if (NR % 2) printf "%.3f\n", v[(NR + 1) / 2]; else printf "%.3f\n", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

echo
echo "== Medians over $PAIRS interleaved pairs (ratio = median of per-pair checked/plain MB/s)"
printf '%-10s %-7s %-10s %11s %11s %7s %13s %6s\n' target fs case "plain MB/s" "-e MB/s" ratio "min..max" goal
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
    cm=$(pick checked | median)
    ratios=$(awk -v t="$target" -v c="$name" '
      $1 == t && $2 == c && $4 == "plain" { p[$3] = $5 }
      $1 == t && $2 == c && $4 == "checked" { k[$3] = $5 }
      END { for (i in p) if ((i in k) && p[i] != "NA" && k[i] != "NA" && p[i] > 0) printf "%.3f\n", k[i] / p[i] }' "$RESULTS")
    ratio=$(median <<<"$ratios")
    range=$(grep -v '^$' <<<"$ratios" | sort -g | awk 'NR == 1 { lo = $1 } { hi = $1 } END { if (NR) printf "%.2f..%.2f", lo, hi; else print "NA" }')
    verdict=$(awk -v r="$ratio" -v g="$goal" 'BEGIN { if (r == "NA") print "?"; else print (r + 0 >= g + 0 ? "ok" : "BELOW") }')
    printf '%-10s %-7s %-10s %11s %11s %7s %13s %4s %s\n' "$target" "$fstype" "$name" "$pm" "$cm" "$ratio" "$range" "$goal" "$verdict"
  done
done
