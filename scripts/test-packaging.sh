#!/usr/bin/env bash
# Builds the packages into build/packages and checks them as a new user meets
# them: the Debian package unpacked into a scratch root (its control fields,
# then tests/install_test.sh on what it installs), and the Windows zip when
# the MinGW-w64 toolchain and the `windows-i686` preset are there (its
# contents, its 32-bit executable and its imports, and the batch example
# under Wine's cmd when Wine is there).
set -euo pipefail
cd "$(dirname "$0")/.."

packages=build/packages
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
rm -rf "$packages"

source tests/checks.sh

# --- Debian package ----------------------------------------------------------

cmake --preset default >/dev/null
cmake --build --preset default
cpack --config build/default/CPackConfig.cmake -B "$packages" >/dev/null
deb=$(echo "$packages"/terminal-serial_*.deb)

control_names_what_the_executable_links() {
  local depends
  depends=$(dpkg-deb -f "$deb" Depends)
  # Computed by dpkg-shlibdeps: the C runtime with its version; the C++
  # runtime is linked into the executable and the window's libraries are
  # loaded only when there is a display, so they are only recommended.
  if ! grep -q 'libc6 (>=' <<<"$depends" || grep -qE 'libstdc\+\+6|libx11' <<<"$depends"; then
    echo "Depends: $depends"
    return 1
  fi
  grep -q 'libxft2' <<<"$(dpkg-deb -f "$deb" Recommends)" || return 1
  [[ $(dpkg-deb -f "$deb" Package) == terminal-serial && -n $(dpkg-deb -f "$deb" Maintainer) ]]
}

files_belong_to_root_and_the_executable_is_stripped() {
  ! dpkg-deb -c "$deb" | awk '{print $2}' | grep -v '^root/root$' &&
    dpkg -x "$deb" "$scratch/root" &&
    file "$scratch/root/usr/lib/terminal-serial/terminal-serial" | grep -q ', stripped'
}

# lintian's errors and warnings, all but the placeholder maintainer address
# (packaging.cmake), which stays until the project has a real one.
lintian_finds_nothing_but_the_placeholder_address() {
  local findings
  findings=$(lintian --fail-on none --tag-display-limit 0 "$deb" 2>/dev/null |
    grep -E '^[EW]: ' | grep -vE ': bogus-mail-host(-in-debian-changelog)? ' || true)
  [[ -z $findings ]] || { echo "$findings"; return 1; }
  # The two files the policy asks every package for are there.
  local listing
  listing=$(dpkg-deb -c "$deb")
  grep -q ' ./usr/share/doc/terminal-serial/copyright$' <<<"$listing" &&
    grep -q ' ./usr/share/doc/terminal-serial/changelog.gz$' <<<"$listing"
}

check "lintian: no error or warning but the placeholder maintainer address" \
  lintian_finds_nothing_but_the_placeholder_address
check "the package's Depends and Recommends follow what the executable uses" \
  control_names_what_the_executable_links
check "files belong to root and the executable is stripped" \
  files_belong_to_root_and_the_executable_is_stripped
# What the package installs, checked check by check with their own lines.
if ! tests/install_test.sh --prefix "$scratch/root/usr" build/default/fake-device; then
  checks_failed=$((checks_failed + 1))
fi

# --- Windows zip -------------------------------------------------------------

# The zip ships the 32-bit build, which runs on 32- and 64-bit Windows.
windows_buildable() {
  command -v i686-w64-mingw32-g++-posix >/dev/null &&
    cmake --list-presets 2>/dev/null | grep -q '"windows-i686"'
}

zip_is_a_working_folder() {
  local listing name
  listing=$(unzip -Z1 "$zip")
  for name in terminal-serial.exe terminal-serial-check.exe troubleshooting.md config.ini \
    ORDEM/README.txt RESPOSTA/README.txt terminal-serial.txt LICENSE.txt examples/caller.bat \
    examples/caller.py; do
    grep -qx "$name" <<<"$listing" || { echo "missing $name"; return 1; }
  done
  # A downloaded zip must be unblocked before unpacking: its manual says how.
  grep -q 'Unblock-File' "$scratch/zip/terminal-serial.txt" ||
    { echo "terminal-serial.txt does not say how to unblock the zip"; return 1; }
  # Unpacked beside a calling program: no folder level above the executable.
  ! grep -v -e '^ORDEM/' -e '^RESPOSTA/' -e '^examples/' <<<"$listing" | grep -q /
}

# 32-bit, and static: nothing beyond what every Windows has.
exe_is_32_bit_and_needs_only_system_libraries() {
  local imports
  i686-w64-mingw32-objdump -f "$scratch/zip/terminal-serial.exe" | grep -q 'file format pei-i386' ||
    return 1
  imports=$(i686-w64-mingw32-objdump -p "$scratch/zip/terminal-serial.exe" |
    sed -n 's/.*DLL Name: //p' | tr '[:lower:]' '[:upper:]')
  ! grep -v -x -e KERNEL32.DLL -e USER32.DLL -e GDI32.DLL -e MSVCRT.DLL -e ADVAPI32.DLL \
    -e 'API-MS-WIN-.*' <<<"$imports"
}

# caller.bat under Wine's cmd against the simulated device, mapped as a COM
# port of a Wine prefix kept in the build folder (it takes a while to make;
# scripts/wine-prefix.sh says what it holds). Wine decodes arguments in the
# locale's UTF-8; the batch file must hand the device Windows-1252.
batch_caller_works_under_wine() {
  local folder=$scratch/zip port=37 status
  source scripts/wine-prefix.sh
  prepare_wine_prefix "$PWD/build/wine" || return 1
  export LANG=C.UTF-8
  printf 'N\r\n' >"$folder/config.ini"
  # Lives long enough for Wine's start-up; logs what it received at its end.
  build/default/fake-device --link "$WINEPREFIX/dosdevices/com$port" --reply $'12,5 kg\xe9' \
    --delay 50 --log "$scratch/device.log" --seconds 10 >/dev/null &
  local device=$!
  sleep 0.5
  run_batch() { (cd "$folder" && wine cmd /c 'examples\caller.bat' "$(winepath -w "$folder")" "$@"); }
  run_batch "$port" 'Olá' >"$scratch/batch.out" 2>&1
  status=$?
  wait "$device"
  cat "$scratch/batch.out"
  [[ $status == 0 ]] && grep -q $'12,5 kg\xe9' "$scratch/batch.out" &&
    cmp <(printf 'Ol\xe1') "$scratch/device.log" || return 1
  # No device behind the port: 003, in the exit code and on the screen.
  run_batch $((port + 1)) x >"$scratch/batch.out" 2>&1
  status=$?
  cat "$scratch/batch.out"
  [[ $status == 3 ]] && grep -q '^003|' "$scratch/batch.out"
}

if windows_buildable; then
  cmake --preset windows-i686 >/dev/null
  cmake --build --preset windows-i686
  cpack --config build/windows-i686/CPackConfig.cmake -B "$packages" >/dev/null
  zip=$(echo "$packages"/terminal-serial-*-windows.zip)
  unzip -q "$zip" -d "$scratch/zip"
  check "the zip is a working folder" zip_is_a_working_folder
  check "the Windows executable is 32-bit and needs only system libraries" \
    exe_is_32_bit_and_needs_only_system_libraries
  if command -v wine >/dev/null; then
    check "the batch caller under Wine" batch_caller_works_under_wine
  else
    echo "skipped: the batch caller (no Wine)"
  fi
else
  echo "skipped: the Windows zip (no 32-bit MinGW-w64 toolchain or no windows-i686 preset)"
fi

find "$packages" -maxdepth 1 -type f -printf 'package: %p\n'
checks_summary packaging
