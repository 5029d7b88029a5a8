#!/usr/bin/env bash
# Cross-builds stratavon-cli.exe for 64-bit Windows with mingw-w64 into
# build-windows/ (or $STRATAVON_WINDOWS_BUILD_DIR):
#
#   scripts/build-windows.sh [--tests] [--package] [CMAKE-ARGS...]
#
#   build-windows/src/cli/stratavon-cli.exe        the program (static: no DLLs beside it)
#   build-windows/tests/*_tests.exe                with --tests: the suites, for Wine
#   build-windows/stratavon-cli-<v>-win64.zip      with --package: the .exe and its manual as HTML
#
# ccache is used when it is installed. The Linux-only parts (io_uring,
# ISA-L, blkid, FUSE, MPI, Qt) are not in this build.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${STRATAVON_WINDOWS_BUILD_DIR:-$top/build-windows}
tests=OFF
package=0
while [ $# -gt 0 ]; do
  case "$1" in
    --tests) tests=ON; shift ;;
    --package) package=1; shift ;;
    *) break ;;
  esac
done
"$top/scripts/setup.sh" windows

launcher=()
if command -v ccache >/dev/null; then
  # Hits across checkouts in other folders (CI's clone) too.
  export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$top}
  launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
cmake -S "$top" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$top/cmake/mingw-w64-x86_64.cmake" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSTRATAVON_WERROR=ON -DSTRATAVON_TESTS=$tests "${launcher[@]}" "$@" >/dev/null
targets=(--target stratavon-cli)
[ "$tests" = ON ] && targets+=(windows_tests)
cmake --build "$build" -j "$(nproc)" "${targets[@]}"
if [ "$package" = 1 ]; then
  rm -f "$build"/stratavon-cli-*-win64.zip
  (cd "$build" && cpack -G ZIP >/dev/null)
  ls "$build"/stratavon-cli-*-win64.zip
fi
