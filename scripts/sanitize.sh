#!/usr/bin/env bash
# Builds the Qt-free test suites with AddressSanitizer + UndefinedBehaviorSanitizer
# (build-asan/) and with ThreadSanitizer (build-tsan/), and runs them.
#
#   scripts/sanitize.sh [asan|tsan|all]     (default: all)
#
# Every sanitizer report fails the run: UBSan does not recover, ASan and TSan
# exit non-zero, and ctest turns that into a failed test. The folders go
# under $STRATAVON_SANITIZE_ROOT (default: the checkout).
#
# Both builds run every Qt-free suite but the MPI one: Open MPI's own
# library is not built with the sanitizers, so its allocations and threads
# would be reported as ours (the plain run covers stratavon-mpi).
# Run sanitized, the suites take well
# under a minute each (the building is what costs), and the thread-heavy
# ones (workers starting and stopping, the async queue and its completion
# threads, run control and statistics, concurrent event-log writers, the
# command line runs) are most of them anyway.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
root=${STRATAVON_SANITIZE_ROOT:-$top}
which=${1:-all}
jobs=$(nproc)
cxx=${STRATAVON_SANITIZE_CXX:-clang++}
cc=${STRATAVON_SANITIZE_CC:-clang}

case "$which" in
  asan | tsan | all) ;;
  *) echo "usage: $0 [asan|tsan|all]" >&2; exit 2 ;;
esac

# -O1 keeps the sanitized suites quick while the stacks stay readable.
common_flags="-O1 -g -fno-omit-frame-pointer"
# The library's own checks (bounds of operator[], front() of an empty
# container) catch what stays inside an allocation, where ASan cannot see.
asan_flags="-fsanitize=address,undefined -fno-sanitize-recover=undefined -D_GLIBCXX_ASSERTIONS"
tsan_flags="-fsanitize=thread"

configure_and_build() {
  local build=$1 flags=$2
  cmake -S "$top" -B "$build" -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_C_COMPILER="$cc" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="$common_flags" \
    -DCMAKE_C_FLAGS_RELWITHDEBINFO="$common_flags" \
    -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_C_FLAGS="$flags" \
    -DCMAKE_EXE_LINKER_FLAGS="$flags" -DCMAKE_SHARED_LINKER_FLAGS="$flags" \
    -DSTRATAVON_GUI=OFF -DSTRATAVON_MPI=OFF -DSTRATAVON_BENCH=OFF -DSTRATAVON_TESTS=ON -DSTRATAVON_WERROR=ON >/dev/null
  cmake --build "$build" -j "$jobs"
}

# Sanitized code runs several times slower: the suites get a longer limit
# than the plain run's 300 s. Reports go to files, not only to the failing
# test's output, so that those of the processes the suites start (the
# command line program, the FUSE daemon) are seen too.
run_suites() {
  local build=$1 reports=$1/sanitizer-reports
  rm -rf "$reports"
  mkdir -p "$reports"
  local ok=0
  (cd "$build" && ctest --output-on-failure -j "$jobs" --timeout 900) || ok=1
  if compgen -G "$reports/*" >/dev/null; then
    echo "== sanitizer reports in $reports:"
    for report in "$reports"/*; do
      echo "-- $report"
      cat "$report"
    done
    ok=1
  fi
  return $ok
}

status=0

# exitcode: a report must not pass for one of the program's own exit codes
# (stratavon-cli exits 1 when a worker fails).
if [ "$which" = asan ] || [ "$which" = all ]; then
  echo "== AddressSanitizer + UndefinedBehaviorSanitizer"
  build="$root/build-asan"
  configure_and_build "$build" "$asan_flags"
  ASAN_OPTIONS="exitcode=86:detect_leaks=1:detect_stack_use_after_return=1:strict_init_order=1:check_initialization_order=1:log_path=$build/sanitizer-reports/report" \
  UBSAN_OPTIONS="exitcode=86:print_stacktrace=1:halt_on_error=1:log_path=$build/sanitizer-reports/report" \
  LSAN_OPTIONS="suppressions=$top/scripts/lsan.supp:print_suppressions=0" \
    run_suites "$build" || status=1
fi

if [ "$which" = tsan ] || [ "$which" = all ]; then
  echo "== ThreadSanitizer"
  build="$root/build-tsan"
  configure_and_build "$build" "$tsan_flags"
  TSAN_OPTIONS="exitcode=86:second_deadlock_stack=1:log_path=$build/sanitizer-reports/report" \
    run_suites "$build" || status=1
fi

exit $status
