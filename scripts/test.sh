#!/usr/bin/env bash
# Installs every package of the build, the tests and the benchmarks, builds
# everything, and runs every test suite.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/setup.sh"
"$top/scripts/build.sh"
build=${STRATAVON_BUILD_DIR:-$top/build}
cd "$build"
ctest --output-on-failure -j "$(nproc)" --timeout 300
