#!/usr/bin/env bash
# Installs the Debian packages that building and testing need, only those
# missing. Runs apt-get as root (through sudo when not root).
#   scripts/install-deps.sh          everything the tests need
#   scripts/install-deps.sh build    only what building the Linux program needs
set -euo pipefail

build_packages=(
  cmake ninja-build g++ pkg-config libgtest-dev
  libx11-dev libxft-dev libfontconfig-dev
)
test_packages=(
  dpkg-dev file man-db groff-base gzip python3 unzip lintian
  # The Windows builds (64- and 32-bit) and their runs under Wine on a
  # virtual screen; 32-bit Wine comes from the i386 architecture, added below.
  g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix mingw-w64 wine wine64 wine32:i386
  xvfb x11-utils xdotool imagemagick
  icoutils  # wrestool and icotool read the executables' resources
  fonts-wine libxrender1 libxrandr2 libxi6 libxcursor1  # recommended by Wine, not pulled in
  fonts-urw-base35  # the face the Wine test prefix shows in place of Verdana (scripts/wine-prefix.sh)
  # The Linux window's tests on a virtual screen (libx11-xcb1: the window
  # reads a frame reported late without waiting).
  fonts-dejavu-core openbox libx11-xcb1
  # fuzzing, memory checking and the benchmark's peers
  clang libclang-rt-14-dev valgrind python3-serial
  # A real Linux kernel's serial drivers under emulation (scripts/test-qemu.sh);
  # the kernel itself is fetched with apt-get download, not installed.
  qemu-system-x86 busybox-static cpio xz-utils
)

packages=("${build_packages[@]}")
[ "${1:-all}" = build ] || packages+=("${test_packages[@]}")

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
echo "installing: ${missing[*]}"
if [[ " ${missing[*]} " == *:i386* ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
  $sudo dpkg --add-architecture i386
fi
# A mirror caught mid-sync fails one list or another; what did arrive, with
# the lists from before, is usually enough, and the install below says if not.
for attempt in 1 2 3; do
  $sudo apt-get update -qq && break
  echo "warning: package lists incomplete (attempt $attempt of 3)" >&2
  [ "$attempt" -eq 3 ] || sleep 15
done
install() {
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "$@" "${missing[@]}"
}
# When the i386 list of the security suite is the one missing, apt offers an
# amd64 library at a version its i386 twin does not have, and the two must
# match; the release's own versions always come in pairs.
install || install -t "$(. /etc/os-release && echo "$VERSION_CODENAME")"
