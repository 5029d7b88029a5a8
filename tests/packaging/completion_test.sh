#!/usr/bin/env bash
# stratavon-cli's bash completion, held against the program it completes:
# its tables against the options the program parses, its usage and its
# refusals, every value it offers against the parser, and what it offers
# for typed command lines (split into words as readline splits them).
#
#   completion_test.sh COMPLETION_FILE STRATAVON_CLI SOURCE_DIR
#
# Exit 0 when everything holds, 1 otherwise, 77 without bash-completion.
set -uo pipefail
completion=$1
cli=$2
src=$3

helpers=/usr/share/bash-completion/bash_completion
if [ ! -r "$helpers" ]; then
  echo "SKIP: bash-completion is not installed ($helpers)"
  exit 77
fi
# bash-completion's helpers expect an interactive shell's settings.
shopt -s extglob progcomp
# shellcheck source=/dev/null
source "$helpers"
# shellcheck source=/dev/null
source "$completion"

failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}
sorted() { tr ' ' '\n' <<<"$*" | sed '/^$/d' | sort -u | tr '\n' ' ' | sed 's/ $//'; }
same() {  # description, expected words, actual words
  local expected actual
  expected=$(sorted "$2")
  actual=$(sorted "$3")
  [ "$expected" = "$actual" ] || fail "$1: expected [$expected], got [$actual]"
}

# Completes LINE as if Tab were pressed at its end; prints the candidates,
# one a line. Words break at blanks, and '=' and ':' are words of their own
# (bash's COMP_WORDBREAKS).
same_lines() {  # description, expected lines, actual lines: names with blanks stay whole
  local expected actual
  expected=$(sed '/^$/d' <<<"$2" | sort -u)
  actual=$(sed '/^$/d' <<<"$3" | sort -u)
  [ "$expected" = "$actual" ] || fail "$1: expected [${expected//$'\n'/|}], got [${actual//$'\n'/|}]"
}

complete_line() {
  local line=$1 word="" c i
  local -a words=()
  for ((i = 0; i < ${#line}; i++)); do
    c=${line:i:1}
    case $c in
      ' ')
        [ -n "$word" ] && words+=("$word")
        word=""
        ;;
      '=' | ':')
        [ -n "$word" ] && words+=("$word")
        words+=("$c")
        word=""
        ;;
      *) word+=$c ;;
    esac
  done
  words+=("$word")
  COMP_WORDS=("${words[@]}")
  COMP_CWORD=$((${#words[@]} - 1))
  COMP_LINE=$line
  COMP_POINT=${#line}
  COMPREPLY=()
  _stratavon_cli 2>/dev/null
  [ ${#COMPREPLY[@]} -gt 0 ] && printf '%s\n' "${COMPREPLY[@]}"
  return 0
}
offers() { complete_line "$1" | tr '\n' ' '; }

# The run command's parser, asked without running anything: -h after the
# options ends the parse with the usage (exit 0) once every option before
# it was taken; an unknown option or a refused value exits 2.
accepts() { "$cli" run "$@" -h >/dev/null 2>&1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# --- The commands: those of the usage, and the aliases main() takes.
usage=$("$cli" --help)
usage_commands=$(sed -n 's/^  stratavon-cli \([a-z][a-z-]*\).*/\1/p' <<<"$usage" | sort -u | tr '\n' ' ')
for command in $usage_commands; do
  [[ " $_stratavon_cli_commands " == *" $command "* ]] || fail "command $command of the usage is not completed"
done
for command in $_stratavon_cli_commands; do
  case $command in
    help | --help) [ "$("$cli" "$command")" = "$usage" ] || fail "$command does not print the usage" ;;
    version | --version) [[ $("$cli" "$command") == "stratavon-cli "[0-9]* ]] || fail "$command does not print the version" ;;
    *) [[ " $usage_commands " == *" $command "* ]] || fail "completed command $command is not in the usage" ;;
  esac
done
same "commands offered first" "$_stratavon_cli_commands" "$(offers "$cli ")"
same "commands after a prefix" "selftest" "$(offers "$cli se")"

# --- Run options: the completion's tables against the program's own.
options_source=$(grep -rl --include='*.cpp' 'std::vector<OptionRow> rows = {' "$src/src" | head -1)
if [ -z "$options_source" ]; then
  fail "the run options' table (OptionRow rows) is not found below $src/src"
else
  program_valued="" program_flags=""
  # A row: {"name", 'c' or 0, takes a value, advanced, ...
  while IFS='|' read -r name value takes; do
    names="--$name"
    [[ $value == \'?\' ]] && names+=" -${value:1:1}"
    if [ "$takes" = true ]; then program_valued+=" $names"; else program_flags+=" $names"; fi
  done < <(sed -n "s/^ *{\"\([a-z-]*\)\", *\('.'\|0\), *\(true\|false\), *\(true\|false\),.*/\1|\2|\3/p" "$options_source")
  [ -n "$program_valued" ] && [ -n "$program_flags" ] || fail "no options read from $options_source"
  same "run options that take a value (against $options_source)" "$program_valued" "$_stratavon_cli_run_valued"
  same "run options that take none (against $options_source)" "$program_flags" "$_stratavon_cli_run_flags"
fi
for option in $_stratavon_cli_run_flags; do
  case $option in -h | --help) continue ;; esac
  accepts "$option" || fail "run does not take $option"
done
same "run options offered" "$_stratavon_cli_run_valued $_stratavon_cli_run_flags" "$(offers "$cli run -t /tmp ")"
same "run options after a flag" "--json" "$(offers "$cli run -e --js")"

# --- Values: everything offered is taken, and the program's lists are offered.
for value in $(offers "$cli run -x "); do accepts -x "$value" -b 4MB || fail "-x $value is refused"; done
for value in $(offers "$cli run -b "); do accepts -b "$value" || fail "-b $value is refused"; done
program_sizes=$("$cli" run -x none 2>&1 | sed -n 's/.*-x takes one of \(.*\), not .*/\1/p' | tr -d ',')
[ -n "$program_sizes" ] || fail "the program's size list is not in its refusal of -x none"
[ "$program_sizes" = "$_stratavon_cli_sizes" ] || fail "size list: program [$program_sizes], completion [$_stratavon_cli_sizes]"
same "sizes offered" "$_stratavon_cli_sizes" "$(offers "$cli run -b ")"
same "sizes after a prefix" "1KB 16KB 128KB 1MB" "$(offers "$cli run -x 1")"
same "sizes after --transfer=" "64KB" "$(offers "$cli run --transfer=6")"

for value in $(offers "$cli run -f "); do accepts -f "$value" || fail "-f $value is refused"; done
program_functions=$("$cli" run -f none 2>&1 | sed -n 's/.*-f takes \(.*\), not .*/\1/p' | sed 's/,//g; s/ or / /')
[ -n "$program_functions" ] || fail "the functions are not in the refusal of -f none"
same "functions" "$program_functions" "$(offers "$cli run -f ")"

for value in $(offers "$cli run --log-format "); do
  accepts --log-format "$value" || fail "--log-format $value is refused"
done
program_formats=$("$cli" run --log-format none 2>&1 | sed -n 's/.*--log-format takes \(.*\), not .*/\1/p' | sed 's/ or / /')
[ -n "$program_formats" ] || fail "the log formats are not in the refusal of --log-format none"
same "log formats" "$program_formats" "$(offers "$cli run --log-format ")"

for value in $_stratavon_cli_patterns; do accepts -p "$value" || fail "-p $value is refused"; done
for name in $(sed -n 's/.*-p PATTERN .* or \(.*\)$/\1/p' <<<"$usage" | tr -d ','); do
  [[ " $_stratavon_cli_patterns " == *" $name "* ]] || fail "pattern $name of the usage is not completed"
done
same "patterns after a prefix" "cjtpat crpat cspat" "$(offers "$cli run -p c")"
# After "stamped:" bash completes only what follows the colon.
same "stamped patterns" "cjtpat crpat cspat" "$(offers "$cli run -p stamped:c")"

same "spans" "fill" "$(offers "$cli run -s f")"
accepts -s fill || fail "-s fill is refused"

threads=$(offers "$cli run -n ")
same "thread counts" "$(seq -s ' ' "$_stratavon_cli_min_threads" "$_stratavon_cli_max_threads")" "$threads"
for value in $threads; do accepts -n "$value" || fail "-n $value is refused"; done
accepts -n $((_stratavon_cli_min_threads - 1)) && fail "-n below the offered range is taken: the range is out of date"
accepts -n $((_stratavon_cli_max_threads + 1)) && fail "-n above the offered range is taken: the range is out of date"
depths=$(offers "$cli run -q ")
same "I/O depths" "$(seq -s ' ' "$_stratavon_cli_min_depth" "$_stratavon_cli_max_depth")" "$depths"
for value in $depths; do accepts -a -q "$value" || fail "-q $value is refused"; done
accepts -q $((_stratavon_cli_min_depth - 1)) && fail "-q below the offered range is taken: the range is out of date"
accepts -q $((_stratavon_cli_max_depth + 1)) && fail "-q above the offered range is taken: the range is out of date"
same "nothing for seconds" "" "$(offers "$cli run -d ")"
same "nothing for the I/O time-out" "" "$(offers "$cli run --io-timeout ")"

# --- Folders and files.
mkdir -p "$work/alpha" "$work/beta gamma" "$work/alpha/inner"
touch "$work/plain.txt" "$work/pattern.hvx"
same_lines "folders for -t" "$work/alpha"$'\n'"$work/beta gamma" "$(complete_line "$cli run -t $work/")"
same "folders for --target=" "$work/alpha" "$(offers "$cli run --target=$work/al")"
same_lines "folders for selftest" "$work/alpha"$'\n'"$work/beta gamma" "$(complete_line "$cli selftest $work/")"
same "nothing after selftest's folder" "" "$(offers "$cli selftest $work ")"
same_lines "pattern files and folders for --data-file" "$work/alpha"$'\n'"$work/beta gamma"$'\n'"$work/pattern.hvx" \
  "$(complete_line "$cli run --data-file $work/")"
same_lines "any file for --log" "$work/alpha"$'\n'"$work/beta gamma"$'\n'"$work/pattern.hvx"$'\n'"$work/plain.txt" \
  "$(complete_line "$cli run --log $work/")"
same "files for verify" "$work/plain.txt $work/pattern.hvx" "$(offers "$cli verify $work/p")"
same "verify's options" "--pass --journal --json" "$(offers "$cli verify --")"
same "nothing for --pass" "" "$(offers "$cli verify --pass ")"
same "events' option" "--json" "$(offers "$cli events ")"
same "nothing for targets" "" "$(offers "$cli targets ")"

# --- Block devices: only for a program whose -t takes a device.
dev_dirs="" dev_all=""
while IFS= read -r entry; do
  [ -d "$entry" ] && dev_dirs+=" $entry"
  { [ -d "$entry" ] || [ -b "$entry" ]; } && dev_all+=" $entry"
done < <(compgen -f -- /dev/)
same "block devices where -t takes a device" "$dev_all" "$(offers "$cli run -t /dev/")"
same "block devices for --destroy" "$dev_all" "$(offers "$cli run --destroy /dev/")"
stub="$work/stub-cli"
printf '#!/bin/sh\ncat <<EOF\nrun options:\n  -t DIR       a target folder\nEOF\n' >"$stub"
chmod +x "$stub"
same "no block devices where -t takes folders only" "$dev_dirs" "$(offers "$stub run -t /dev/")"
[ "$dev_all" != "$dev_dirs" ] || echo "note: no block device in /dev here; the device case saw folders only"

if [ "$failures" -gt 0 ]; then
  echo "$failures check(s) failed"
  exit 1
fi
echo "completion: every check holds"
