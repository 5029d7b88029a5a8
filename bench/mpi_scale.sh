#!/usr/bin/env bash
# Whether a run split over MPI ranks loses anything against one process:
# 2 ranks x W/2 workers of stratavon-mpi against one stratavon-cli with W
# workers, on the same folder of this one machine (the ranks work in rank0/
# and rank1/ below it), interleaved in pairs so that a noisy disk hits both
# alike. Prints each pair's aggregate MB/s and IOPS, the median ratio
# mpi/cli (the aim: within 5%, i.e. >= 0.95), and what the live exchange
# (samples to rank 0 four times a second, the view every 2 s) cost each
# rank's console thread, per 2 seconds of run.
#
# Usage:
#   cmake --build build -j2 --target stratavon-cli stratavon-mpi
#   bench/mpi_scale.sh [-b BUILD] [-p PAIRS] [-s SECONDS] [-w WORKERS] [-x TRANSFER] [-f FUNCTION] DIR
#     -b  build folder (default build)
#     -p  interleaved pairs (default 5)
#     -s  seconds per run (default 5)
#     -w  workers in all (default 4; each rank runs half)
#     -x  transfer size, also the buffer (default 1MB)
#     -f  read, write or both (default write)
#   e.g. bench/mpi_scale.sh -p 5 -s 5 /var/tmp
# DIR gets a private scratch folder that is removed afterwards. Needs mpirun
# and jq or python3. Not a test; not run in CI.

set -u
set -o pipefail

BUILD=build
PAIRS=5
SECONDS_PER_RUN=5
WORKERS=4
TRANSFER=1MB
FUNCTION=write

usage() { sed -n '/^# Usage:/,/^# DIR gets/p' "$0" | sed 's/^# \{0,1\}//'; exit 2; }

while getopts 'b:p:s:w:x:f:h' opt; do
  case $opt in
    b) BUILD=$OPTARG ;;
    p) PAIRS=$OPTARG ;;
    s) SECONDS_PER_RUN=$OPTARG ;;
    w) WORKERS=$OPTARG ;;
    x) TRANSFER=$OPTARG ;;
    f) FUNCTION=$OPTARG ;;
    *) usage ;;
  esac
done
shift $((OPTIND - 1))
[[ $# -eq 1 ]] || usage
CLI=$BUILD/src/cli/stratavon-cli
MPI=$BUILD/src/mpi/stratavon-mpi
[[ -x $CLI && -x $MPI ]] || { echo "mpi_scale: build stratavon-cli and stratavon-mpi in $BUILD first" >&2; exit 2; }
command -v mpirun >/dev/null || { echo "mpi_scale: mpirun is not installed" >&2; exit 2; }

BENCH_NAME=mpi_scale
source "$(dirname "$0")/bench_lib.sh"

WORK=$(mktemp -d "$1/mpi_scale.XXXXXX")
SCRATCHES+=("$WORK")
export STRATAVON_HOME=$WORK/home
export OMPI_MCA_plm_rsh_agent= OMPI_MCA_btl=self,vader OMPI_MCA_btl_vader_single_copy_mechanism=none
RUN_ARGS=(-f "$FUNCTION" -P -x "$TRANSFER" -b "$TRANSFER" -d "$SECONDS_PER_RUN")

echo "mpi_scale: $FUNCTION, $TRANSFER, $WORKERS worker(s) on $(fs_type "$WORK") at $WORK, $SECONDS_PER_RUN s a run"
printf "%-5s %12s %12s %12s %12s %8s\n" pair cli_MB/s cli_IOPS mpi_MB/s mpi_IOPS ratio
# Not read from a process substitution: its clean-up must end before the next run.
run_cli() {
  local rates
  rates=$(cli_rates "$WORK" -n "$WORKERS" "${RUN_ARGS[@]}")
  read -r cli_mb cli_iops <<<"$rates"
}
run_mpi() {
  STRATAVON_MPI_COST=1 mpirun --oversubscribe --allow-run-as-root -n 2 "$MPI" run -t "$WORK" \
    -n $((WORKERS / 2)) "${RUN_ARGS[@]}" --json >"$WORK/mpi.json" 2>"$WORK/mpi.err"
  if [[ $(json_get "$WORK/mpi.json" '.verdict') == PASS ]]; then
    mpi_mb=$(json_get "$WORK/mpi.json" '.mb_per_s')
    mpi_iops=$(json_get "$WORK/mpi.json" '.iops')
  else
    echo "  mpi run failed: $(tail -n 2 "$WORK/mpi.err" | tr '\n' ' ')" >&2
    mpi_mb=NA mpi_iops=NA
  fi
  # "rank R exchange: N message(s), T ms ..." per rank -> ms per 2 s of run
  grep -o 'rank [0-9]* exchange: [0-9]* message(s), [0-9.]* ms on the console thread' "$WORK/mpi.err" |
    awk -v s="$SECONDS_PER_RUN" '{ printf "  %s %s: %d messages, %.3f ms of its console thread per 2 s\n", $1, $2, $4, $6 * 2 / s }' >>"$RESULTS.cost"
  rm -rf -- "$WORK/rank0" "$WORK/rank1" "$WORK/mpi.json" "$WORK/mpi.err"
}
# Each side goes first in every other pair: neither gains from a warm cache.
for ((i = 1; i <= PAIRS; i++)); do
  if ((i % 2)); then run_cli; run_mpi; else run_mpi; run_cli; fi
  ratio=NA
  [[ $cli_mb != NA && $mpi_mb != NA ]] && ratio=$(awk -v a="$mpi_mb" -v b="$cli_mb" 'BEGIN { printf "%.3f", (b > 0 ? a / b : 0) }')
  printf "%-5s %12s %12s %12s %12s %8s\n" "$i" "$cli_mb" "$cli_iops" "$mpi_mb" "$mpi_iops" "$ratio"
  echo "$ratio" >>"$RESULTS"
done
echo "median ratio mpi/cli: $(median <"$RESULTS") (aim: >= 0.95)"
echo "live exchange cost per rank:"
cat "$RESULTS.cost"
rm -f -- "$RESULTS.cost"
