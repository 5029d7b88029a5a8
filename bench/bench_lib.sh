# Shared by the benchmark scripts (sourced, not run): reading JSON, scratch
# folders, one stratavon-cli run, medians. Set BENCH_NAME before sourcing.

# json_get FILE EXPR: EXPR is a jq path such as .jobs[0].write.iops.
if command -v jq >/dev/null; then
  json_get() { jq -r "$2 // \"NA\"" "$1" 2>/dev/null || echo NA; }
elif command -v python3 >/dev/null; then
  json_get() {
    python3 - "$1" "$2" <<'EOF' 2>/dev/null || echo NA
import json, re, sys
v = json.load(open(sys.argv[1]))
for key, idx in re.findall(r'\.(\w+)(?:\[(\d+)\])?', sys.argv[2]):
    v = v[key]
    if idx:
        v = v[int(idx)]
print("NA" if v is None else v)
EOF
  }
else
  echo "$BENCH_NAME: needs jq or python3 to read JSON" >&2
  exit 2
fi

# Scratch folders made by the script (append to SCRATCHES) and the results
# file go when the script ends.
RESULTS=$(mktemp "/tmp/$BENCH_NAME.XXXXXX")
SCRATCHES=()
cleanup() {
  local d
  for d in "${SCRATCHES[@]}"; do rm -rf -- "$d"; done
  rm -f -- "$RESULTS"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# cli_rates WORK ARGS...: one `stratavon-cli run --json` on WORK with ARGS,
# then its work files removed (kept when KEEP_WORK_FILES=1, for a peer tool
# to use the very same files) -> "mbps iops", or "NA NA" when it failed.
cli_rates() {
  local work=$1 out=$1/run.json
  shift
  "$CLI" run -t "$work" "$@" --json >"$out" 2>"$work/run.err"
  local failures status
  failures=$(json_get "$out" '.failures')
  status=$(json_get "$out" '.targets[0].status')
  if [[ $failures != 0 || $status == NA ]]; then
    echo "  run failed ($status, failures=$failures): $(tail -n 2 "$work/run.err" | tr '\n' ' ')" >&2
    echo "NA NA"
  else
    echo "$(json_get "$out" '.targets[0].mb_per_s') $(json_get "$out" '.targets[0].iops')"
  fi
  [[ ${KEEP_WORK_FILES:-0} == 1 ]] || rm -rf -- "$work/READ" "$work/WRITE"
  rm -f -- "$out" "$work/run.err"
}

fs_type() { findmnt -no FSTYPE -T "$1" 2>/dev/null | head -n 1 || stat -f -c %T "$1" 2>/dev/null || echo '?'; }

# median of the numbers on stdin (NA dropped), or NA
median() {
  grep -v '^NA$' | sort -g | awk '{ v[NR] = $1 } END {
    if (NR == 0) { print "NA"; exit }
    if (NR % 2) printf "%.3f\n", v[(NR + 1) / 2]; else printf "%.3f\n", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}
