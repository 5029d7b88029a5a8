#!/usr/bin/env bash
# Checks that includes between the source folders point one way:
#   platform <- engine <- workers <- run <- {gui, cli, mpi};  gui <- app
# faultfs stands apart (the file system and its mount helper); only the
# command line's self-test and the tests mount it. Below gui nothing
# includes Qt. Prints every include that runs the wrong way; exit 1 if any.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top/src"

# What each folder may include besides itself.
declare -A allowed=(
  [platform]=""
  [engine]="platform"
  [workers]="platform engine"
  [run]="platform engine workers"
  [gui]="platform engine workers run"
  [cli]="platform engine workers run faultfs"
  [mpi]="platform engine workers run"
  [app]="platform engine workers run gui"
  [faultfs]="platform"
)

bad=0
for folder in "${!allowed[@]}"; do
  [ -d "$folder" ] || continue
  while IFS= read -r line; do
    file=${line%%:*}
    rest=${line#*:}
    rest=${rest#*:}
    target=$(sed -E 's/^#include "([^/"]+)\/.*/\1/' <<<"$rest")
    [ "$target" = "$folder" ] && continue
    [ -d "$target" ] || continue
    if ! grep -qw -- "$target" <<<"${allowed[$folder]}"; then
      echo "layering: src/$file includes $target/: $rest"
      bad=1
    fi
  done < <(grep -rn --include='*.h' --include='*.cpp' -E '^#include "[^/"]+/' "$folder" || true)
  case "$folder" in
    gui | app) ;;
    *)
      if grep -rn --include='*.h' --include='*.cpp' -E '^#include <Q[A-Za-z]' "$folder"; then
        echo "layering: Qt included below the consoles in src/$folder"
        bad=1
      fi
      ;;
  esac
done
exit "$bad"
