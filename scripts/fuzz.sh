#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/ with clang (ASan + UBSan) into
# build-fuzz/ (or $STRATAVON_FUZZ_BUILD_DIR) and runs each for a while.
#
#   scripts/fuzz.sh [seconds] [target...]     (default: 20 s, every target)
#
# A crash, a sanitizer report, a leak or a broken check fails the run; the
# input that did it is kept as build-fuzz/artifacts/<target>-crash-<sha1>
# (run it again with: build-fuzz/bin/<target> <that file>). The corpus each
# run grows is kept in build-fuzz/corpus/<target>/ and used by the next run;
# the seeds in fuzz/corpus/ are only read.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${STRATAVON_FUZZ_BUILD_DIR:-$top/build-fuzz}
seconds=${1:-20}
[ $# -gt 0 ] && shift
case "$seconds" in
  '' | *[!0-9]*) echo "usage: $0 [seconds] [target...]" >&2; exit 2 ;;
esac

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for source in "$top"/fuzz/*_fuzz.cpp; do targets+=("$(basename "$source" .cpp)"); done
fi

cxx=${STRATAVON_FUZZ_CXX:-clang++}
flags=(-O1 -g -fno-omit-frame-pointer "-fsanitize=address,undefined" -fno-sanitize-recover=undefined)

# The core library, instrumented for coverage but without libFuzzer's main;
# the linker takes from it only what the targets reach.
cmake -S "$top" -B "$build/core" -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_C_COMPILER="${STRATAVON_FUZZ_CC:-clang}" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="${flags[*]} -fsanitize=fuzzer-no-link" \
  -DSTRATAVON_GUI=OFF -DSTRATAVON_BENCH=OFF -DSTRATAVON_TESTS=OFF -DSTRATAVON_WERROR=ON >/dev/null
cmake --build "$build/core" --target stratavon_core -j "$(nproc)"

mkdir -p "$build/bin" "$build/artifacts" "$build/logs"
read -ra uring_libs <<<"$(pkg-config --libs liburing)"
libs=("$build/core/libstratavon_core.a" "${uring_libs[@]}" -lisal -pthread)
for target in "${targets[@]}"; do
  source="$top/fuzz/$target.cpp"
  [ -f "$source" ] || { echo "no fuzz target $target" >&2; exit 2; }
  "$cxx" -std=c++20 -Wall -Wextra -pedantic -Werror "${flags[@]}" -fsanitize=fuzzer \
    -I "$top/src" -I "$top/fuzz" "$source" "${libs[@]}" -o "$build/bin/$target"
done

status=0
summary=()
for target in "${targets[@]}"; do
  name=${target%_fuzz}
  corpus="$build/corpus/$name"
  mkdir -p "$corpus"
  args=(-max_total_time="$seconds" -print_final_stats=1 -timeout=10 -rss_limit_mb=2048
        -artifact_prefix="$build/artifacts/$target-")
  [ -f "$top/fuzz/$name.dict" ] && args+=(-dict="$top/fuzz/$name.dict")
  seeds=()
  [ -d "$top/fuzz/corpus/$name" ] && seeds+=("$top/fuzz/corpus/$name")
  log="$build/logs/$target.log"
  echo "== $target: ${seconds}s"
  if "$build/bin/$target" "${args[@]}" "$corpus" "${seeds[@]}" >"$log" 2>&1; then
    result=ok
  else
    result=FAILED
    status=1
    cat "$log"
  fi
  # "#N DONE cov: C ft: F corp: K/..." is libFuzzer's last progress line.
  done_line=$(grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | tail -1 || true)
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  summary+=("$(printf '%-20s %-6s execs=%-10s %s' "$target" "$result" "${execs:-?}" \
    "$(sed -E 's/^#[0-9]+[[:space:]]+DONE[[:space:]]+//; s/[[:space:]]+(lim|exec\/s|rss):.*//' <<<"$done_line")")")
done

echo "== fuzz summary (${seconds}s each)"
printf '%s\n' "${summary[@]}"
exit $status
