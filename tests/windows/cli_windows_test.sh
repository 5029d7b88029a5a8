#!/usr/bin/env bash
# stratavon-cli.exe under Wine, as an operator runs it on Windows:
#
#   cli_windows_test.sh WINE PROGRAM      (WINE "-": PROGRAM runs as it is,
#                                          so the same cases hold on Linux)
#
# A short verified run on a folder passes, synchronous and overlapped; a
# work file altered from outside while a checking read run goes on fails
# it with DATA COMPARISON, the reason stamped over the file's start; a
# second run on a held folder is refused; a disk target is refused with its
# reason; the drives are listed with their type words; the state folder is
# under %LOCALAPPDATA%. Wine runs headless in a private prefix; ends with
# "N passed, N failed".
set -uo pipefail
wine=$1
program=$2
scratch=$(mktemp -d)
# Wine's server keeps files of the prefix open for a few seconds after the
# last program: ended first, so that the folder can go.
trap '[ "$wine" = - ] || wineserver -k 2>/dev/null; rm -rf "$scratch"' EXIT
if [ "$wine" != - ]; then
  export WINEPREFIX=${STRATAVON_WINEPREFIX:-$scratch/wineprefix} WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  export DISPLAY=
  "$wine" wineboot --init >/dev/null 2>&1
fi
cli() {
  if [ "$wine" = - ]; then "$program" "$@"; else "$wine" "$program" "$@"; fi
}

passed=0
failed=0
check() {  # NAME CONDITION...: counts and says what failed
  local name=$1
  shift
  if "$@"; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    echo "FAILED: $name" >&2
  fi
}
field() {  # KEY JSON: the first value of KEY in the --json object
  grep -o "\"$1\": \(\"[^\"]*\"\|[-0-9.]*\)" <<<"$2" | head -1 | sed 's/^[^:]*: //; s/"//g'
}
is() { [ "$1" = "$2" ] || { echo "  expected '$2', got '$1'" >&2; return 1; }; }

export STRATAVON_HOME=$scratch/home

# A verified run with counting, both functions, in each engine.
for engine in sync async; do
  target=$scratch/$engine
  mkdir -p "$target"
  args=(run -t "$target" -f both -e -P -x 64KB -b 1MB -d 3 --json)
  [ $engine = async ] && args+=(-a -q 8)
  out=$(cli "${args[@]}" 2>"$scratch/err")
  rc=$?
  check "$engine run exits 0" is "$rc" 0
  check "$engine run passes" is "$(field verdict "$out")" PASS
  check "$engine run has no error" is "$(field error "$out")" NONE
  check "$engine run moved data" test "$(field bytes "$out")" -gt 0
  echo "$engine verified run: $(field mb_per_s "$out") MB/s" >&2
done

# Corruption planted from outside: a checking read run reads its file over
# and over; 16 bytes at offset 100 are overwritten once it has begun.
target=$scratch/planted
mkdir -p "$target"
cli run -t "$target" -f read -e -P -x 64KB -b 1MB -d 20 --json >"$scratch/planted.out" 2>"$scratch/planted.err" &
run=$!
for _ in $(seq 1 150); do
  grep -q '^\[0:00:00:0' "$scratch/planted.err" 2>/dev/null && break
  sleep 0.1
done
printf 'XXXXXXXXXXXXXXXX' | dd of="$target/READ/KORVA0.DAT" bs=1 seek=100 conv=notrunc status=none
wait $run
rc=$?
out=$(cat "$scratch/planted.out")
check "planted corruption exits 1" is "$rc" 1
check "planted corruption fails" is "$(field verdict "$out")" FAIL
check "planted corruption is a data comparison" is "$(field error "$out")" "DATA COMPARISON"
check "the first differing byte is the planted one" is "$(field first_offset "$out")" 100
check "the stamp is at offset 0" is "$(head -c 32 "$target/READ/KORVA0.DAT")" "HALVEX GOT CRC ERROR ON LAST I/O"

# A folder held by a run is refused to a second one until the first ends.
target=$scratch/held
mkdir -p "$target"
cli run -t "$target" -f write -d 6 >/dev/null 2>&1 &
first=$!
for _ in $(seq 1 100); do [ -e "$target/WRITE/KORVA25.DAT" ] && break; sleep 0.1; done
out=$(cli run -t "$target" -f write -d 1 --json 2>/dev/null)
rc=$?
check "a second run on a held folder is refused" is "$rc" 2
check "the refusal names the other run" grep -q "in use by another run" <<<"$out"
wait $first

if [ "$wine" != - ]; then
  out=$(cli run -t '\\.\PhysicalDrive0' -f read -d 1 --json 2>/dev/null)
  rc=$?
  check "a disk target is refused" is "$rc" 2
  check "the refusal says why" grep -q "not supported on Windows" <<<"$out"

  out=$(cli targets 2>/dev/null)
  check "the drives are listed" grep -q '^C:\\  *FIXED DISK' <<<"$out"

  cli selftest >/dev/null 2>&1
  check "selftest says it needs Linux" is "$?" 2

  # Without STRATAVON_HOME the records go to %LOCALAPPDATA%\Stratavon.
  target=$scratch/local
  mkdir -p "$target"
  (unset STRATAVON_HOME; cli run -t "$target" -f write -d 1 >/dev/null 2>&1)
  check "the state folder is under LOCALAPPDATA" test -n "$(find "$WINEPREFIX/drive_c/users" -path '*/AppData/Local/Stratavon/registry' 2>/dev/null)"
fi

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
