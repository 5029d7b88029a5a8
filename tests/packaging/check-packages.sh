#!/usr/bin/env bash
# Checks the Debian packages scripts/package.sh made:
#
#   tests/packaging/check-packages.sh DIR [--cli]
#
# - each package holds exactly the files it should, all under /usr, owned by root;
# - the control fields: one version, the dependencies each program needs,
#   and none on Qt anywhere below stratavon-cli's;
# - the desktop entry, the AppStream data and the bus activation file are
#   valid and name the installed program;
# - stratavon-cli, unpacked into a throw-away root that holds nothing but
#   the files of the packages it depends on, runs there and prints its version.
#
# --cli: only stratavon-cli and stratavon-faultfs were built (package.sh --cli).
# Runs as root (the throw-away root is entered with chroot). Exit 0 when
# everything holds, 1 otherwise.
set -uo pipefail
dir=${1:?usage: check-packages.sh DIR [--cli]}
only_cli=${2:-}
[ "$(id -u)" -eq 0 ] || { echo "check-packages.sh: needs root for chroot" >&2; exit 1; }

failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

packages=(stratavon-cli stratavon-faultfs)
[ "$only_cli" = --cli ] || packages+=(stratavon stratavon-mpi)
declare -A deb
for package in "${packages[@]}"; do
  found=("$dir/${package}"_*.deb)
  if [ ! -f "${found[0]}" ] || [ ${#found[@]} -ne 1 ]; then
    fail "expected one ${package}_*.deb in $dir, found: ${found[*]}"
    continue
  fi
  deb[$package]=${found[0]}
done
[ -n "${deb[stratavon-cli]:-}" ] || { echo "no stratavon-cli package: nothing more to check"; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

version=$(dpkg-deb -f "${deb[stratavon-cli]}" Version)
echo "== version $version"

# --- The files of each package, exactly.
icons=""
for size in 16 22 24 32 48 64 128 256 512; do
  icons+=" /usr/share/icons/hicolor/${size}x${size}/apps/com.halvex.Stratavon.png"
done
doc() { echo "/usr/share/doc/$1/changelog.gz /usr/share/doc/$1/copyright"; }
declare -A expected=(
  [stratavon-cli]="/usr/bin/stratavon-cli /usr/share/man/man1/stratavon-cli.1.gz
    /usr/share/bash-completion/completions/stratavon-cli $(doc stratavon-cli)"
  [stratavon-faultfs]="/usr/bin/stratavon-faultfs /usr/share/man/man1/stratavon-faultfs.1.gz $(doc stratavon-faultfs)"
  [stratavon-mpi]="/usr/bin/stratavon-mpi /usr/share/man/man1/stratavon-mpi.1.gz $(doc stratavon-mpi)"
  [stratavon]="/usr/bin/stratavon /usr/share/man/man1/stratavon.1.gz
    /usr/share/applications/com.halvex.Stratavon.desktop
    /usr/share/metainfo/com.halvex.Stratavon.metainfo.xml
    /usr/share/dbus-1/services/Corvane.Application.service
    /usr/share/dbus-1/interfaces/Corvane.ICorvane.xml $icons $(doc stratavon)"
)
for package in "${!deb[@]}"; do
  file=${deb[$package]}
  listing=$(dpkg-deb -c "$file")
  files=$(awk '$1 !~ /^d/ {sub(/^\./, "", $6); print $6}' <<<"$listing" | sort)
  want=$(tr -s ' \n' '\n\n' <<<"${expected[$package]}" | sed '/^$/d' | sort)
  if [ "$files" != "$want" ]; then
    fail "$package: files differ from the expected list:"
    diff <(echo "$want") <(echo "$files") | sed -n 's/^[<>]/   &/p'
  fi
  outside=$(awk '{sub(/^\./, "", $6); print $6}' <<<"$listing" | grep -Ev '^/$|^/usr(/|$)' || true)
  [ -z "$outside" ] || fail "$package: entries outside /usr: $outside"
  grep -q '/usr/local' <<<"$listing" && fail "$package: entries under /usr/local"
  owners=$(awk '{print $2}' <<<"$listing" | sort -u)
  [ "$owners" = "root/root" ] || fail "$package: owners $owners, not root/root"
  [ "$(dpkg-deb -f "$file" Version)" = "$version" ] || fail "$package: version $(dpkg-deb -f "$file" Version), not $version"
  dpkg-deb -x "$file" "$work/$package" || fail "$package: does not unpack"
  for page in "$work/$package"/usr/share/man/man1/*.gz "$work/$package"/usr/share/doc/*/changelog.gz; do
    [ -f "$page" ] || continue
    gzip -t "$page" || fail "$package: $page is not a valid gzip file"
  done
  zcat "$work/$package/usr/share/doc/$package/changelog.gz" 2>/dev/null | head -1 |
    grep -q "^stratavon ($version) " || fail "$package: the changelog does not begin with version $version"
done

# --- Dependencies.
depends() { dpkg-deb -f "${deb[$1]}" Depends; }
has() { [[ ", $(depends "$1"), " =~ ,\ $2[\ ,] ]] || fail "$1 does not depend on $2 (Depends: $(depends "$1"))"; }
has stratavon-cli libc6
has stratavon-cli liburing2
has stratavon-cli libisal2
has stratavon-faultfs fuse3
has stratavon-faultfs libfuse3-3
if [ -n "${deb[stratavon]:-}" ]; then
  has stratavon qt6-qpa-plugins
  has stratavon libqt6widgets6
  has stratavon libqt6dbus6
fi
[ -n "${deb[stratavon-mpi]:-}" ] && has stratavon-mpi openmpi-bin
[ "$(dpkg-deb -f "${deb[stratavon-cli]}" Recommends)" = "" ] || fail "stratavon-cli recommends something: apt would install it"

# Every package apt would install for stratavon-cli: its Depends, theirs, and so on.
closure() {
  local -A seen=()
  local queue=("$@") package field alternative name
  while [ ${#queue[@]} -gt 0 ]; do
    package=${queue[0]}
    queue=("${queue[@]:1}")
    [ -n "${seen[$package]:-}" ] && continue
    seen[$package]=1
    echo "$package"
    field=$(dpkg-query -W -f='${Pre-Depends}, ${Depends}' "$package" 2>/dev/null) ||
      { echo "NOT-INSTALLED:$package"; continue; }
    while IFS= read -r alternative; do
      # The first alternative that is installed here (apt's choice where the others are not).
      for name in $(sed 's/([^)]*)//g; s/:any//g; s/|/ /g' <<<"$alternative"); do
        if dpkg-query -W -f='${Status}' "$name" 2>/dev/null | grep -q 'install ok installed'; then
          queue+=("$name")
          continue 2
        fi
      done
      [ -n "${alternative// /}" ] && echo "NOT-INSTALLED:$alternative"
    done < <(tr ',' '\n' <<<"$field")
  done
}
cli_depends=$(depends stratavon-cli | sed 's/([^)]*)//g; s/|[^,]*//g; s/,/ /g')
# shellcheck disable=SC2086
needed=$(closure $cli_depends | sort -u)
missing=$(grep '^NOT-INSTALLED:' <<<"$needed" || true)
[ -z "$missing" ] || fail "dependencies of stratavon-cli not installed here, so not checked: $missing"
qt=$(grep -i 'qt' <<<"$needed" || true)
[ -z "$qt" ] || fail "stratavon-cli pulls in Qt: $qt"
echo "== stratavon-cli needs $(wc -l <<<"$needed") packages: $(tr '\n' ' ' <<<"$needed")"

# --- The desktop files.
if [ -n "${deb[stratavon]:-}" ]; then
  tree=$work/stratavon/usr/share
  desktop-file-validate "$tree/applications/com.halvex.Stratavon.desktop" || fail "the desktop entry is not valid"
  appstreamcli validate --no-net --pedantic "$tree/metainfo/com.halvex.Stratavon.metainfo.xml" ||
    fail "the AppStream data is not valid"
  service=$tree/dbus-1/services/Corvane.Application.service
  grep -qx 'Name=Corvane.Application' "$service" || fail "the bus activation file names another bus name"
  grep -qx 'Exec=/usr/bin/stratavon.*' "$service" || fail "the bus activation file does not start /usr/bin/stratavon: $(grep Exec "$service")"
fi

# --- stratavon-cli in a root of its own: the package and the files of its
# dependency closure, nothing else (no shell, no Qt).
root=$work/root
mkdir -p "$root"
dpkg-deb -x "${deb[stratavon-cli]}" "$root"
# Debian 12's merged /usr: /lib, /lib64, /bin and /sbin are links into /usr.
for top in lib lib64 bin sbin; do
  mkdir -p "$root/usr/$top"
  ln -s "usr/$top" "$root/$top"
done
while IFS= read -r package; do
  [[ $package == NOT-INSTALLED:* ]] && continue
  while IFS= read -r path; do
    # Folders come with the files in them. Files the host left out (its
    # documentation, say) are not there to copy.
    if [ ! -d "$path" ] && { [ -L "$path" ] || [ -f "$path" ]; }; then
      mkdir -p "$root${path%/*}" && cp -a "$path" "$root$path" || fail "cannot copy $path of $package"
    fi
  done < <(dpkg-query -L "$package")
done <<<"$needed"
if [ -e "$root/bin/sh" ] || [ -e "$root/usr/bin/bash" ]; then fail "the throw-away root holds a shell: not a root of the closure alone"; fi
seen=$(chroot "$root" /usr/bin/stratavon-cli --version 2>&1)
if [ "$seen" = "stratavon-cli $version" ]; then
  echo "== in a root of $(find "$root" -type f | wc -l) files: $seen"
else
  fail "stratavon-cli --version in the throw-away root: \"$seen\", expected \"stratavon-cli $version\""
fi

if [ "$failures" -gt 0 ]; then
  echo "$failures check(s) failed"
  exit 1
fi
echo "packages: every check holds"
