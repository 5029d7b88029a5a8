#!/usr/bin/env bash
# The main job on a fresh machine: installs only what stratavon-cli needs
# (compiler, CMake, liburing, ISA-L), builds it, and runs a short verified
# and counted load on a temporary folder with live lines and the verdict;
# then installs FUSE 3, builds stratavon-faultfs and runs the self-test.
# The exit status is stratavon-cli's own:
# 0 no worker failed, 1 a worker failed, 2 the run was refused.
#
#   STRATAVON_DEMO_BUILD_DIR  its build folder (default build-demo/); scripts/test.sh
#                        builds everything, with debug information, in build/
#   STRATAVON_DEMO_DIR   folder to create the temporary target in
#                        (default: the build folder, on the disk of the checkout)
#   STRATAVON_DEMO_SECONDS  length of the run (default 10)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${STRATAVON_DEMO_BUILD_DIR:-$top/build-demo}

# Optimised as the packages are, without debug information, which would
# take a fifth of the build's time; no Qt, tests, benchmarks or MPI.
configure() {
  cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG" -DCMAKE_C_FLAGS_RELEASE="-O2 -DNDEBUG" \
    -DSTRATAVON_GUI=OFF -DSTRATAVON_TESTS=OFF -DSTRATAVON_BENCH=OFF -DSTRATAVON_MPI=OFF >/dev/null
}

"$top/scripts/setup.sh" cli
configure
cmake --build "$build" -j "$(nproc)" --target stratavon-cli

cli="$build/src/cli/stratavon-cli"
base=${STRATAVON_DEMO_DIR:-$build}
mkdir -p "$base"
target=$(mktemp -d "$base/stratavon-demo.XXXXXX")
trap 'rm -rf "$target"' EXIT

echo "== stratavon-cli: 2 write workers with Error Checking and Enable Performance,"
echo "== 64KB transfers into 1MB buffers, ${STRATAVON_DEMO_SECONDS:-10} s on $target/"
set +e
"$cli" run -t "$target" -f both -n 2 -e -P -x 64KB -b 1MB -d "${STRATAVON_DEMO_SECONDS:-10}"
status=$?
echo "== exit status $status"
set -e

# The fault injector and FUSE 3 come only now: the run's verdict does not
# wait for them. Configured again, the build finds FUSE 3.
"$top/scripts/setup.sh" faultfs
configure
cmake --build "$build" -j "$(nproc)" --target stratavon-faultfs
# Would this build catch a fault here at all? Needs /dev/fuse and the right
# to mount; where those are missing it says so (exit 2) and the run's status stands.
echo "== stratavon-cli selftest: each fault kind through each engine and I/O backend"
set +e
"$cli" selftest "$base"
self=$?
set -e
echo "== selftest exit status $self"
if [ "$status" -eq 0 ] && [ "$self" -eq 1 ]; then status=1; fi
exit "$status"
