#!/usr/bin/env bash
# Configures and builds into build/ (or $STRATAVON_BUILD_DIR).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${STRATAVON_BUILD_DIR:-$top/build}
cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSTRATAVON_WERROR=ON "$@" >/dev/null
cmake --build "$build" -j "$(nproc)"
