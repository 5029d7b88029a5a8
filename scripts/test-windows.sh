#!/usr/bin/env bash
# Cross-builds stratavon-cli.exe and the Windows suites (scripts/build-windows.sh
# --tests) and runs them under Wine, headless, in a private prefix that is
# removed afterwards: the GoogleTest cases that need no Linux-only part
# (tests/windows/CMakeLists.txt says which are left out and why) and the
# command-line cases of tests/windows/cli_windows_test.sh.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${STRATAVON_WINDOWS_BUILD_DIR:-$top/build-windows}
"$top/scripts/build-windows.sh" --tests
prefix=$(mktemp -d)
wine=$(command -v wine64 || command -v wine)
cleanup() {
  WINEPREFIX=$prefix wineserver -k 2>/dev/null || true
  rm -rf "$prefix"
}
trap cleanup EXIT
export WINEPREFIX=$prefix STRATAVON_WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" DISPLAY=
"$wine" wineboot --init >/dev/null 2>&1
cd "$build"
ctest --output-on-failure --timeout 300
