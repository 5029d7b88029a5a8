# shellcheck shell=bash
# Shared by the benchmark scripts (sourced, not run): reading JSON, scratch
# folders, one stratavon-cli run, medians, and the options, interleaved pairs
# and medians table of the *_cost scripts. Set BENCH_NAME before sourcing.

# json_get FILE EXPR: EXPR is a jq path such as .jobs[0].write.iops.
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
  echo "$BENCH_NAME: needs jq or python3 to read JSON" >&2
  exit 2
fi

# Scratch folders made by the script (append to SCRATCHES) and the results
# file go when the script ends.
RESULTS=$(mktemp "/tmp/$BENCH_NAME.XXXXXX")
SCRATCHES=()
cleanup() {
  local d
  for d in "${SCRATCHES[@]}"; do rm -rf -- "$d"; done
  rm -f -- "$RESULTS"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# cli_rates WORK ARGS...: one `stratavon-cli run --json` on WORK (or on
# CLI_TARGET, a device, with WORK for its output) with ARGS,
# then its work files removed (kept when KEEP_WORK_FILES=1, for a peer tool
# to use the very same files) -> "mbps iops", or "NA NA" when it failed.
cli_rates() {
  local work=$1 out=$1/run.json
  shift
  "$CLI" run -t "${CLI_TARGET:-$work}" "$@" --json >"$out" 2>"$work/run.err"
  local failures status
  failures=$(json_get "$out" '.failures')
  status=$(json_get "$out" '.targets[0].status')
  if [[ $failures != 0 || $status == NA ]]; then
    echo "  run failed ($status, failures=$failures): $(tail -n 2 "$work/run.err" | tr '\n' ' ')" >&2
    echo "NA NA"
  else
    echo "$(json_get "$out" '.targets[0].mb_per_s') $(json_get "$out" '.targets[0].iops')"
  fi
  [[ ${KEEP_WORK_FILES:-0} == 1 ]] || rm -rf -- "$work/READ" "$work/WRITE"
  rm -f -- "$out" "$work/run.err"
}

fs_type() { findmnt -no FSTYPE -T "$1" 2>/dev/null | head -n 1 || stat -f -c %T "$1" 2>/dev/null || echo '?'; }

# median of the numbers on stdin (NA dropped), or NA
median() {
  grep -v '^NA$' | sort -g | awk '{ v[NR] = $1 } END {
    if (NR == 0) { print "NA"; exit }
    if (NR % 2) printf "%.3f\n", v[(NR + 1) / 2]; else printf "%.3f\n", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

# bench_usage: the script's own comment block from "# Usage:" to "# Each DIR"
bench_usage() { sed -n '/^# Usage:/,/^# Each DIR/p' "$0" | sed 's/^# \{0,1\}//'; exit 2; }

# bench_options PAIRS DEPTH ARGS...: the options -c -p -s -n -k (and -q
# when DEPTH is not "-") of the scripts that run each case in pairs, with
# their defaults (PAIRS and DEPTH as given, 3 s a run, 1 worker), checked,
# with messages naming the script; sets CLI, PAIRS, SECONDS_PER_RUN,
# THREADS, DEPTH and CASE_FILTER, and puts the DIRs left in DIRS.
bench_options() {
  CLI=/tmp/build-bench/src/cli/stratavon-cli
  PAIRS=$1
  SECONDS_PER_RUN=3
  THREADS=1
  DEPTH=$2
  CASE_FILTER=''
  shift 2
  local optstring='c:p:s:n:k:h' which='-p, -s and -n' numbers
  [[ $DEPTH == - ]] || optstring='c:p:s:n:q:k:h' which='-p, -s, -n and -q'
  local opt OPTIND=1 v
  while getopts "$optstring" opt; do
    case $opt in
      c) CLI=$OPTARG ;;
      p) PAIRS=$OPTARG ;;
      s) SECONDS_PER_RUN=$OPTARG ;;
      n) THREADS=$OPTARG ;;
      q) DEPTH=$OPTARG ;;
      k) CASE_FILTER=$OPTARG ;;
      *) bench_usage ;;
    esac
  done
  shift $((OPTIND - 1))
  [[ $# -ge 1 || ${BENCH_DIRS_OPTIONAL:-0} == 1 ]] || bench_usage
  numbers=("$PAIRS" "$SECONDS_PER_RUN" "$THREADS")
  [[ $DEPTH == - ]] || numbers+=("$DEPTH")
  for v in "${numbers[@]}"; do
    [[ $v =~ ^[1-9][0-9]*$ ]] || { echo "$BENCH_NAME: $which take positive integers, not \"$v\"" >&2; exit 2; }
  done
  [[ -x $CLI ]] || { echo "$BENCH_NAME: no stratavon-cli at $CLI (build it, or pass -c)" >&2; exit 2; }
  DIRS=("$@")
}

# case_wanted NAME: the case passes the -k filter
case_wanted() { [[ -z $CASE_FILTER || $1 =~ $CASE_FILTER ]]; }

# pair_cell SIDE MBPS IOPS...: one side's cell of a pair's row (a script may
# define its own after sourcing this).
pair_cell() { printf ' | %-7s %9s MB/s' "$1" "$2"; }

# run_pairs WIDTH VARIANT: for every DIR in DIRS and every wanted line of
# CASES ("name field..."), PAIRS interleaved pairs of
# `run_one WORK field... 0|1` (0 = "plain", 1 = VARIANT), the side that goes
# first alternating; each run's result goes to RESULTS as
# "target case pair side result...", each pair's row is printed, the name
# padded to WIDTH.
run_pairs() {
  local width=$1 variant=$2 target work line i side which row
  local -a f order got
  for target in "${DIRS[@]}"; do
    if [[ ! -d $target ]]; then
      echo "$BENCH_NAME: $target is not a folder; skipped" >&2
      continue
    fi
    work=$(mktemp -d "${target%/}/$BENCH_NAME.XXXXXX") || continue
    SCRATCHES+=("$work")
    echo
    echo "== $target ($(fs_type "$work"))"
    for line in "${CASES[@]}"; do
      read -r -a f <<<"$line"
      case_wanted "${f[0]}" || continue
      for ((i = 1; i <= PAIRS; i++)); do
        # Alternate which side goes first, so a drift over time favours neither.
        order=(0 1)
        ((i % 2 == 0)) && order=(1 0)
        row=$(printf "%-${width}s #%d" "${f[0]}" "$i")
        for which in "${order[@]}"; do
          read -r -a got <<<"$(run_one "$work" "${f[@]:1}" "$which")"
          side=plain
          [[ $which == 1 ]] && side=$variant
          echo "$target ${f[0]} $i $side ${got[*]}" >>"$RESULTS"
          row+=$(pair_cell "$side" "${got[@]}")
        done
        echo "$row"
      done
    done
  done
}

# pick TARGET CASE SIDE COL: column COL of that side's runs in RESULTS
pick() { awk -v t="$1" -v c="$2" -v s="$3" -v col="$4" '$1 == t && $2 == c && $4 == s { print $col }' "$RESULTS"; }

# pair_ratios TARGET CASE COL NUM DEN: per-pair NUM/DEN of column COL
pair_ratios() {
  awk -v t="$1" -v c="$2" -v col="$3" -v num="$4" -v den="$5" '
    $1 == t && $2 == c && $4 == num { a[$3] = $col }
    $1 == t && $2 == c && $4 == den { b[$3] = $col }
    END { for (i in a) if ((i in b) && a[i] != "NA" && b[i] != "NA" && b[i] > 0) printf "%.3f\n", a[i] / b[i] }' "$RESULTS"
}

# span: "min..max" of the numbers on stdin, or NA
span() { grep -v '^$' | sort -g | awk 'NR == 1 { lo = $1 } { hi = $1 } END { if (NR) printf "%.2f..%.2f", lo, hi; else print "NA" }'; }

# ratio_table WIDTH VARIANT HEADING: the medians of MB/s of both sides per
# DIR and case and of the per-pair ratios VARIANT/plain with their range,
# against a goal of 0.90 on a disk and 0.75 on RAM; HEADING heads the
# VARIANT column, the case names are padded to WIDTH.
ratio_table() {
  local width=$1 variant=$2 target fstype goal line name ratios ratio verdict
  echo
  echo "== Medians over $PAIRS interleaved pairs (ratio = median of per-pair $variant/plain MB/s)"
  printf "%-10s %-7s %-${width}s %11s %11s %7s %13s %6s\n" target fs case "plain MB/s" "$3" ratio "min..max" goal
  for target in "${DIRS[@]}"; do
    [[ -d $target ]] || continue
    fstype=$(fs_type "$target")
    goal=0.90
    [[ $fstype == tmpfs || $fstype == ramfs ]] && goal=0.75
    for line in "${CASES[@]}"; do
      read -r name _ <<<"$line"
      case_wanted "$name" || continue
      ratios=$(pair_ratios "$target" "$name" 5 "$variant" plain)
      ratio=$(median <<<"$ratios")
      verdict=$(awk -v r="$ratio" -v g="$goal" 'BEGIN { if (r == "NA") print "?"; else print (r + 0 >= g + 0 ? "ok" : "BELOW") }')
      printf "%-10s %-7s %-${width}s %11s %11s %7s %13s %4s %s\n" "$target" "$fstype" "$name" \
        "$(pick "$target" "$name" plain 5 | median)" "$(pick "$target" "$name" "$variant" 5 | median)" \
        "$ratio" "$(span <<<"$ratios")" "$goal" "$verdict"
    done
  done
}

# cost_run WORK ENV ARGS...: one `stratavon-cli run -t WORK ARGS --json`
# with ENV (NAME=VALUE, or empty) in its environment, timed by
# /usr/bin/time, then its work files removed -> "mbps iops cpu-ns-per-io",
# or "NA NA NA" when it failed. The CPU time per I/O (user + system of the
# whole process tree) moves much less than the IOPS on a machine that others
# load too.
cost_run() {
  local work=$1 assignment=$2
  shift 2
  local out=$work/run.json cpu=$work/cpu.txt failures ios
  env ${assignment:+"$assignment"} /usr/bin/time -f '%U %S' -o "$cpu" "$CLI" run -t "$work" "$@" --json >"$out" 2>/dev/null
  failures=$(json_get "$out" '.failures')
  ios=$(json_get "$out" '.targets[0].ios')
  if [[ $failures != 0 || $ios == NA || $ios == 0 ]]; then
    echo "NA NA NA"
  else
    echo "$(json_get "$out" '.targets[0].mb_per_s') $(json_get "$out" '.targets[0].iops')" \
      "$(awk -v n="$ios" '{ printf "%.1f", ($1 + $2) * 1e9 / n }' "$cpu")"
  fi
  rm -rf -- "$work/READ" "$work/WRITE" "$out" "$cpu"
}

# cost_table VARIANT GOAL: the medians table of a *_cost script whose
# run_one gives "mbps iops cpu-ns-per-io" for plain and VARIANT: per case
# the median of the per-pair VARIANT/plain IOPS ratios and of the per-pair
# plain/VARIANT CPU ns per I/O, each with its span, against GOAL.
cost_table() {
  local variant=$1 goal=$2 target fstype line name ratios cpus ratio cpu verdict
  echo
  echo "== Medians over $PAIRS interleaved pairs (ratio = median of per-pair $variant/plain IOPS;"
  echo "   cpu = median of per-pair plain/$variant CPU ns per I/O, the same goal)"
  printf '%-10s %-7s %-10s %11s %11s %7s %13s %9s %9s %6s %13s %6s\n' target fs case "plain IOPS" \
    "${variant:0:5} IOPS" ratio "min..max" "plain ns" "${variant:0:5} ns" cpu "min..max" goal
  for target in "${DIRS[@]}"; do
    [[ -d $target ]] || continue
    fstype=$(fs_type "$target")
    for line in "${CASES[@]}"; do
      read -r name _ <<<"$line"
      case_wanted "$name" || continue
      ratios=$(pair_ratios "$target" "$name" 6 "$variant" plain)
      cpus=$(pair_ratios "$target" "$name" 7 plain "$variant")
      ratio=$(median <<<"$ratios")
      cpu=$(median <<<"$cpus")
      verdict=$(awk -v r="$ratio" -v c="$cpu" -v g="$goal" 'BEGIN { if (r == "NA") print "?"; else print (r + 0 >= g + 0 ? "ok" : "BELOW") "/" (c + 0 >= g + 0 ? "ok" : "BELOW") }')
      printf '%-10s %-7s %-10s %11s %11s %7s %13s %9s %9s %6s %13s %4s %s\n' "$target" "$fstype" "$name" \
        "$(pick "$target" "$name" plain 6 | median)" "$(pick "$target" "$name" "$variant" 6 | median)" "$ratio" \
        "$(span <<<"$ratios")" "$(pick "$target" "$name" plain 7 | median)" "$(pick "$target" "$name" "$variant" 7 | median)" \
        "$cpu" "$(span <<<"$cpus")" "$goal" "$verdict"
    done
  done
}
