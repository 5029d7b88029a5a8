#!/usr/bin/env bash
# Soak: many start/stop cycles of a large asynchronous run (by default 2
# targets x 25 threads x read and write x depth 8, with Error Checking and
# counting), in two ways:
#   1. soak_driver: every cycle in one long-lived process, through the run
#      control stratavon-cli uses; after each cycle it checks descriptors (no
#      work file open), resident memory, the slot entries, live workers and
#      the event log. This is where a leak across runs would show.
#   2. stratavon-cli: one process per cycle; every cycle must exit 0, report
#      no failure, leave no process holding a work file, and write no event.
#      Its peak RSS per cycle is listed for comparison.
#
# Usage:
#   cmake -S . -B /tmp/build-bench -DCMAKE_BUILD_TYPE=Release
#   cmake --build /tmp/build-bench -j2 --target stratavon-cli soak_driver
#   bench/soak.sh [-b BUILD] [-c CYCLES] [-s SECONDS] [-n THREADS] [-q DEPTH] [-x SIZE]
#                 [-o EXTRA] [-D|-C] DIR [DIR ...]
#     -b  build directory (default /tmp/build-bench)
#     -c  cycles of each kind (default 100)
#     -s  seconds per cycle (default 1)
#     -n  threads per function and target (default 25)
#     -q  queue depth (default 8)
#     -x  transfer = buffer size (default 64KB; 1MB means 800 MiB of buffers)
#     -o  extra stratavon-cli/soak_driver flags (default "-e -P")
#     -D  only the driver; -C only the stratavon-cli loop
#   e.g. bench/soak.sh -c 100 -s 1 /tmp /dev/shm
# soak_driver alone also runs the synchronous engines (-y), e.g. a verifying
# reader whose passes are checked on a second thread:
#   soak_driver -y -c 40 -m 400 -n 1 -x 1MB -f read -e -P DIR
# after every cycle only the main thread may be left ("tasks").
# Each DIR gets a private scratch folder, removed afterwards; the event log
# goes to a fresh STRATAVON_HOME. Not a test; not run in CI.

set -u
set -o pipefail

BUILD=/tmp/build-bench
CYCLES=100
SECS=1
THREADS=25
DEPTH=8
SIZE=64KB
EXTRA="-e -P"
DO_DRIVER=1
DO_CLI=1

usage() { sed -n '/^# Usage:/,/^# Each DIR/p' "$0" | sed 's/^# \{0,1\}//'; exit 2; }

while getopts 'b:c:s:n:q:x:o:DCh' opt; do
  case $opt in
    b) BUILD=$OPTARG ;;
    c) CYCLES=$OPTARG ;;
    s) SECS=$OPTARG ;;
    n) THREADS=$OPTARG ;;
    q) DEPTH=$OPTARG ;;
    x) SIZE=$OPTARG ;;
    o) EXTRA=$OPTARG ;;
    D) DO_CLI=0 ;;
    C) DO_DRIVER=0 ;;
    *) usage ;;
  esac
done
shift $((OPTIND - 1))
[[ $# -ge 1 ]] || usage
for v in "$CYCLES" "$SECS" "$THREADS" "$DEPTH"; do
  [[ $v =~ ^[1-9][0-9]*$ ]] || { echo "soak: -c, -s, -n and -q take positive integers, not \"$v\"" >&2; exit 2; }
done
CLI=$BUILD/src/cli/stratavon-cli
DRIVER=$BUILD/bench/soak_driver
((DO_CLI)) && { [[ -x $CLI ]] || { echo "soak: no stratavon-cli at $CLI" >&2; exit 2; }; }
((DO_DRIVER)) && { [[ -x $DRIVER ]] || { echo "soak: no soak_driver at $DRIVER" >&2; exit 2; }; }

SCRATCHES=()
cleanup() {
  local d
  for d in "${SCRATCHES[@]}"; do rm -rf -- "$d"; done
}
trap cleanup EXIT
trap 'exit 130' INT TERM

HOME_DIR=$(mktemp -d /tmp/soak_home.XXXXXX)
SCRATCHES+=("$HOME_DIR")
export STRATAVON_HOME=$HOME_DIR
TARGETS=()
for dir in "$@"; do
  [[ -d $dir ]] || { echo "soak: $dir is not a folder" >&2; exit 2; }
  work=$(mktemp -d "${dir%/}/soak.XXXXXX") || exit 2
  SCRATCHES+=("$work")
  TARGETS+=("$work/")
done
LOG=$STRATAVON_HOME/events.jsonl
status=0

if ((DO_DRIVER)); then
  echo "== soak_driver: $CYCLES cycles in one process"
  # shellcheck disable=SC2086
  "$DRIVER" -c "$CYCLES" -m $((SECS * 1000)) -n "$THREADS" -q "$DEPTH" -x "$SIZE" -f both $EXTRA "${TARGETS[@]}"
  rc=$?
  echo "soak_driver exit $rc"
  ((rc == 0)) || status=1
fi

# Processes other than ours that hold a file under the scratch folders.
holders() {
  local fd link n=0
  for fd in /proc/[0-9]*/fd/*; do
    link=$(readlink "$fd" 2>/dev/null) || continue
    for t in "${TARGETS[@]}"; do
      [[ $link == "$t"* ]] && n=$((n + 1))
    done
  done
  echo "$n"
}

if ((DO_CLI)); then
  echo
  echo "== stratavon-cli: $CYCLES cycles, one process each"
  targs=()
  for t in "${TARGETS[@]}"; do targs+=(-t "$t"); done
  bad=0
  rss_list=()
  printf '%5s %4s %6s %9s %6s %8s %7s\n' cycle exit fails "peak KiB" held "log B" ms
  for ((i = 1; i <= CYCLES; i++)); do
    t0=$(date +%s%N)
    # shellcheck disable=SC2086
    /usr/bin/time -f '%M' -o "$HOME_DIR/time.txt" \
      "$CLI" run "${targs[@]}" -f both -n "$THREADS" -a -q "$DEPTH" -x "$SIZE" -b "$SIZE" $EXTRA -d "$SECS" \
      --json >"$HOME_DIR/run.json" 2>"$HOME_DIR/run.err"
    rc=$?
    ms=$((($(date +%s%N) - t0) / 1000000))
    fails=$(jq -r '.failures // "NA"' "$HOME_DIR/run.json" 2>/dev/null || echo NA)
    peak=$(tail -n 1 "$HOME_DIR/time.txt")
    held=$(holders)
    logb=$(stat -c %s "$LOG" 2>/dev/null || echo 0)
    mark=''
    if [[ $rc != 0 || $fails != 0 || $held != 0 || $logb != 0 ]]; then
      mark='  <-- FAILED'
      bad=$((bad + 1))
      tail -n 3 "$HOME_DIR/run.err" >&2
    fi
    rss_list+=("$peak")
    printf '%5d %4d %6s %9s %6s %8s %7d%s\n' "$i" "$rc" "$fails" "$peak" "$held" "$logb" "$ms" "$mark"
  done
  printf '%s\n' "${rss_list[@]}" | sort -n | awk '{ v[NR] = $1 } END {
    printf "stratavon-cli peak RSS per cycle: min %d KiB, median %d KiB, max %d KiB\n", v[1], v[int((NR + 1) / 2)], v[NR] }'
  echo "stratavon-cli: $bad of $CYCLES cycles failed a check"
  ((bad == 0)) || status=1
fi

exit $status
