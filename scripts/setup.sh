#!/usr/bin/env bash
# Installs the Debian 12 packages a purpose needs; safe to run again: only
# what is missing is installed.
#
#   scripts/setup.sh [GROUP...]      (default: all of them)
#
#   cli        the compiler, CMake and the libraries of stratavon-cli
#   faultfs    FUSE 3, for stratavon-faultfs and the self-test that mounts it
#   gui        Qt 6 for the desktop program
#   mpi        Open MPI for stratavon-mpi
#   tests      googletest, the benchmark library and the tools the suites
#              drive (file systems, fio, a session bus, bash-completion)
#   sanitizers clang and LLVM for scripts/sanitize.sh and scripts/fuzz.sh
#   packages   what scripts/package.sh builds .deb files with and what
#              checks them (dpkg-shlibdeps, lintian, the desktop-entry and
#              AppStream validators)
#   windows    the mingw-w64 cross compiler for stratavon-cli.exe
#              (scripts/build-windows.sh), Wine, which runs its tests, and
#              mandoc for the zip's HTML manual
set -euo pipefail

declare -A group=(
  [cli]="g++ make cmake pkg-config liburing-dev libisal-dev libblkid-dev"
  [faultfs]="libfuse3-dev fuse3"
  [gui]="qt6-base-dev qt6-base-dev-tools"
  [mpi]="libopenmpi-dev openmpi-bin"
  [tests]="build-essential git googletest libgtest-dev libbenchmark-dev e2fsprogs btrfs-progs xfsprogs util-linux fio
           dbus-daemon bash-completion"
  [sanitizers]="clang libclang-rt-14-dev llvm"
  [packages]="dpkg-dev lintian desktop-file-utils appstream"
  [windows]="mingw-w64 wine64 wine mandoc"
)
order=(cli faultfs gui mpi tests sanitizers packages windows)

wanted=("$@")
[ ${#wanted[@]} -eq 0 ] && wanted=("${order[@]}")
packages=()
for name in "${wanted[@]}"; do
  if [ -z "${group[$name]+set}" ]; then
    echo "usage: $0 [${order[*]}]..." >&2
    exit 2
  fi
  read -ra list <<<"${group[$name]//$'\n'/ }"
  packages+=("${list[@]}")
done

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

export DEBIAN_FRONTEND=noninteractive
sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
# A fresh machine has no package lists yet (and a stale one may name files
# the mirror no longer has): then the first attempt fails and the lists are read.
if ! "${sudo_cmd[@]}" apt-get install -y --no-install-recommends "${missing[@]}"; then
  "${sudo_cmd[@]}" apt-get update
  "${sudo_cmd[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
fi
