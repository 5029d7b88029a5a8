#!/usr/bin/env bash
# The main job on a fresh machine: installs only what the headless program
# and its self-test need, builds only stratavon-cli and stratavon-faultfs,
# then runs a short verified and counted load on a temporary folder with
# live lines and the verdict. The exit status is stratavon-cli's own:
# 0 no worker failed, 1 a worker failed, 2 the run was refused.
#
#   STRATAVON_DEMO_DIR   folder to create the temporary target in
#                        (default: the build folder, on the disk of the checkout)
#   STRATAVON_DEMO_SECONDS  length of the run (default 10)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${STRATAVON_BUILD_DIR:-$top/build}

"$top/scripts/setup.sh" cli
"$top/scripts/build.sh" --cli

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
# Would this build catch a fault here at all? Needs /dev/fuse and the right
# to mount; where those are missing it says so (exit 2) and the run's status stands.
echo "== stratavon-cli selftest: each fault kind through each engine and I/O backend"
"$cli" selftest "$base"
self=$?
set -e
echo "== selftest exit status $self"
if [ "$status" -eq 0 ] && [ "$self" -eq 1 ]; then status=1; fi
exit "$status"
