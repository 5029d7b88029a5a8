#!/usr/bin/env bash
# Builds the Debian packages into build-deb/ (or $STRATAVON_PACKAGE_BUILD_DIR)
# and checks them with lintian:
#
#   scripts/package.sh [--cli]
#
#   stratavon_<v>_amd64.deb          the desktop program (Qt)
#   stratavon-cli_<v>_amd64.deb      the headless front end (no Qt)
#   stratavon-faultfs_<v>_amd64.deb  the fault injector of `stratavon-cli selftest`
#   stratavon-mpi_<v>_amd64.deb      the run across MPI ranks
#
# --cli builds only stratavon-cli and stratavon-faultfs, on a machine
# without Qt and MPI. The programs are built for /usr with Debian's build
# flags (dpkg-buildflags, every hardening feature), without the suites.
# Exit 1 when the build fails or lintian reports an error.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${STRATAVON_PACKAGE_BUILD_DIR:-$top/build-deb}

groups=(cli faultfs gui mpi packages)
parts=ON
if [ "${1:-}" = --cli ]; then
  groups=(cli faultfs packages)
  parts=OFF
  shift
fi
[ $# -eq 0 ] || { echo "usage: $0 [--cli]" >&2; exit 2; }

"$top/scripts/setup.sh" "${groups[@]}"

# dpkg-buildflags maps the checkout to "." in the debug paths; run it there.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
flags() { (cd "$top" && dpkg-buildflags --get "$1"); }
cppflags=$(flags CPPFLAGS)
# The changelog's date: the last commit's, so that the same checkout makes the same files.
if [ -z "${SOURCE_DATE_EPOCH:-}" ] && git -C "$top" rev-parse --git-dir >/dev/null 2>&1; then
  SOURCE_DATE_EPOCH=$(git -C "$top" log -1 --format=%ct)
  export SOURCE_DATE_EPOCH
fi

cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr \
  -DCMAKE_C_FLAGS="$(flags CFLAGS) $cppflags" -DCMAKE_CXX_FLAGS="$(flags CXXFLAGS) $cppflags" \
  -DCMAKE_EXE_LINKER_FLAGS="$(flags LDFLAGS)" \
  -DSTRATAVON_TESTS=OFF -DSTRATAVON_BENCH=OFF -DSTRATAVON_GUI=$parts -DSTRATAVON_MPI=$parts >/dev/null
cmake --build "$build" -j "$(nproc)"
rm -f "$build"/*.deb
(cd "$build" && cpack -G DEB >/dev/null)

debs=("$build"/*.deb)
echo "== packages in $build:"
for deb in "${debs[@]}"; do
  printf '   %-40s %s\n' "$(basename "$deb")" "$(dpkg-deb -f "$deb" Depends)"
done

# Errors fail the build of the packages; warnings, and the pedantic and
# informational tags, are shown. One informational tag stays:
# spelling-error-in-binary finds "defaulH" and "whe" in the machine code,
# where the compiler loads the bytes of " (default" and of "when" as
# immediate operands and the next instruction's first byte follows them;
# no text of the program is misspelt.
echo "== lintian"
report=$(lintian -EI --pedantic --tag-display-limit 0 "${debs[@]}" 2>&1 | grep -v '^running with root privileges' || true)
[ -n "$report" ] && echo "$report"
errors=$(grep -c '^E: ' <<<"$report" || true)
warnings=$(grep -c '^W: ' <<<"$report" || true)
echo "== lintian: $errors error(s), $warnings warning(s)"
[ "$errors" -eq 0 ]
