#!/usr/bin/env bash
# Configures and builds into build/ (or $STRATAVON_BUILD_DIR).
#
#   scripts/build.sh [--cli] [CMAKE_ARGS...]
#
# Without --cli: every program, the suites and the benchmarks (the desktop
# program needs Qt; stratavon-mpi is built where MPI is found).
# --cli: only stratavon-cli and stratavon-faultfs, which need neither Qt,
# googletest, the benchmark library nor MPI. Both share the folder: the
# objects of the one are the objects of the other.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${STRATAVON_BUILD_DIR:-$top/build}
parts=ON
targets=()
if [ "${1:-}" = --cli ]; then
  shift
  parts=OFF
  targets=(--target stratavon-cli stratavon-faultfs)
fi
cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSTRATAVON_WERROR=ON \
  -DSTRATAVON_GUI=$parts -DSTRATAVON_TESTS=$parts -DSTRATAVON_BENCH=$parts -DSTRATAVON_MPI=$parts "$@" >/dev/null
cmake --build "$build" -j "$(nproc)" "${targets[@]}"
