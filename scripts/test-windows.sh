#!/usr/bin/env bash
# The Windows builds: cross-builds terminal-serial.exe for 64-bit and for
# 32-bit Windows, checks that each needs no DLL beyond Windows' own and
# carries its resources (manifest, version, icon), then runs them under Wine
# (a throwaway prefix, Xvfb as the screen): the end-to-end suite against
# pseudo-terminal devices with each build, and with the 64-bit one a
# shown-window run whose size and place are measured and whose screenshot
# is kept (build/windows/screenshot-windows.png; with
# TS_UPDATE_SCREENSHOT=1 also docs/screenshot-windows.png).
# Needs build/default (scripts/test.sh builds it first).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

# --- The two builds: 64-bit (preset windows) and 32-bit (windows-i686) ------

declare -A builds=([windows]=x86_64 [windows-i686]=i686)
for preset in windows windows-i686; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
done
exe=$root/build/windows/terminal-serial.exe
[ -x build/default/tests/posix_tests ] || cmake --build --preset default

for build_exe in build/{windows,windows-i686}/terminal-serial{,-check}.exe; do
  preset=$(basename "$(dirname "$build_exe")")
  objdump=${builds[$preset]}-w64-mingw32-objdump
  echo "== $build_exe: format and the DLLs it imports"
  "$objdump" -f "$build_exe" | grep 'file format'
  dlls=$("$objdump" -p "$build_exe" | awk '/DLL Name:/ {print $3}')
  echo "$dlls"
  # Windows' own: the kernel, the window manager, GDI and the C runtime.
  if echo "$dlls" | grep -viqE '^(kernel32|user32|gdi32|msvcrt|ucrtbase|api-ms-win-crt-[a-z0-9-]+)\.dll$'; then
    echo "FAIL: $build_exe needs a DLL that Windows does not ship" >&2
    exit 1
  fi
done
if ! i686-w64-mingw32-objdump -f build/windows-i686/terminal-serial.exe | grep -q 'pei-i386'; then
  echo "FAIL: the windows-i686 build is not a 32-bit executable" >&2
  exit 1
fi

# --- Resources: manifest, version information, icon (both builds) ----------

# The value that follows `key` in the version resource's UTF-16 strings.
version_value() {
  wrestool -x --raw --type=16 "$1" | iconv -f UTF-16LE -t UTF-8 -c | tr -c '[:print:]' '\n' |
    grep -v '^$' | awk -v key="$2" 'found {print; exit} $0 == key {found = 1}'
}

resources_complete() {
  local build_exe=$1 manifest id sizes project_version
  manifest=$(wrestool -x --raw --type=24 --name=1 "$build_exe")
  for pattern in 'level="asInvoker"' '<dpiAware[^>]*>true</dpiAware>' \
    '<dpiAwareness[^>]*>system</dpiAwareness>' '<longPathAware[^>]*>true</longPathAware>'; do
    grep -q "$pattern" <<<"$manifest" || { echo "manifest lacks $pattern"; return 1; }
  done
  # Windows 7, 8, 8.1 and 10/11.
  for id in 35138b9a-5d96-4fbd-8e2d-a2440225f93a 4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38 \
    1f676c76-80e1-4239-95bb-83d0f6d0da78 8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a; do
    grep -q "supportedOS Id=\"{$id}\"" <<<"$manifest" || { echo "manifest lacks OS $id"; return 1; }
  done
  project_version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$(dirname "$build_exe")/CMakeCache.txt")
  [ "$(version_value "$build_exe" ProductName)" = terminal-serial ] &&
    [ "$(version_value "$build_exe" ProductVersion)" = "$project_version" ] &&
    [ "$(version_value "$build_exe" FileVersion)" = "$project_version" ] &&
    [ "$(version_value "$build_exe" FileDescription)" = terminal-serial ] &&
    [ "$(version_value "$build_exe" CompanyName)" = "the terminal-serial authors" ] &&
    [ "$(version_value "$build_exe" LegalCopyright)" = \
      "Copyright (c) 2026 the terminal-serial authors" ] ||
    { echo "version information: $(wrestool -x --raw --type=16 "$build_exe" | strings -el)"; return 1; }
  # The first icon group is the one Explorer shows; the window loads it too.
  sizes=$(wrestool -x --type=14 "$build_exe" | icotool -l - |
    sed -n 's/.*--width=\([0-9]*\) --height=\([0-9]*\) --bit-depth=32.*/\1x\2/p' | sort -n | xargs)
  [ "$sizes" = "16x16 20x20 24x24 32x32 40x40 48x48 64x64 256x256" ] ||
    { echo "icon sizes: $sizes"; return 1; }
}

for preset in windows windows-i686; do
  echo "== build/$preset/terminal-serial.exe: resources"
  if ! resources_complete "build/$preset/terminal-serial.exe"; then
    echo "FAIL: build/$preset/terminal-serial.exe lacks a resource" >&2
    exit 1
  fi
done

# A screen 2560 pixels wide at 96 pixels per inch: 38400 twips, more than
# a 16-bit width holds, so the placement is checked where it is hardest.
dpi=96
screen_width=2560
display=""
for n in $(seq 90 140); do
  if [ ! -e "/tmp/.X$n-lock" ] && [ ! -e "/tmp/.X11-unix/X$n" ]; then display=":$n"; break; fi
done
[ -n "$display" ] || { echo "FAIL: no free X display" >&2; exit 1; }

source scripts/wine-prefix.sh
export WINEPREFIX=$root/build/windows/wineprefix
export DISPLAY=$display
xvfb_pid=""
cleanup() {
  wineserver -k 2>/dev/null || true
  [ -z "$xvfb_pid" ] || kill "$xvfb_pid" 2>/dev/null || true
}
trap cleanup EXIT

Xvfb "$display" -screen 0 "${screen_width}x1080x24" -dpi "$dpi" -nolisten tcp >/dev/null 2>&1 &
xvfb_pid=$!
for _ in $(seq 50); do xwininfo -root >/dev/null 2>&1 && break; sleep 0.1; done

echo "== Wine prefix"
# A new one each run (scripts/wine-prefix.sh says what it holds).
prepare_wine_prefix "$WINEPREFIX" fresh
# One server for every run, instead of one start-up per run.
wineserver -p >/dev/null 2>&1

# --- The end-to-end suite, with each build ----------------------------------

for preset in windows windows-i686; do
  echo "== End-to-end suite under Wine: build/$preset"
  TS_E2E_WINE=1 TS_E2E_EXE="$root/build/$preset/terminal-serial.exe" \
    build/default/tests/posix_tests --gtest_filter='EndToEnd.*'
done

failed=0
fail() { echo "FAIL: $*" >&2; failed=1; }
within() { [ "$1" -ge $(($2 - 2)) ] && [ "$1" -le $(($2 + 2)) ]; }
caption="Terminal Serial Vorlan - Multi Portas"

# Starts a shown run with `config.ini` = $1 against a device on COM9 and
# waits until its window has shown the answer (with $2 = early: only until
# the window appears); $3, if given, is the order. Sets folder, window,
# program_pid and device_pid.
start_shown_run() {
  folder=$(mktemp -d "$root/build/windows/shown-XXXXXX")
  mkdir "$folder/ORDEM" "$folder/RESPOSTA"
  cp "$exe" "$folder/"
  printf '%s' "$1" >"$folder/config.ini"
  printf '%s' "${3:-$(printf '9\r\n9600\r\n8\r\n1\r\nN\r\nP')}" >"$folder/ORDEM/ordem.txt"
  build/default/fake-device --link "$WINEPREFIX/dosdevices/com9" --reply $'+0012.50kg\r\n' \
    --delay 100 --seconds 20 >/dev/null &
  device_pid=$!
  sleep 0.3
  wine "$folder/terminal-serial.exe" &
  program_pid=$!
  window=""
  for _ in $(seq 100); do
    window=$(xdotool search --name "^$caption\$" 2>/dev/null | head -n1 || true)
    [ -n "$window" ] && [ "${2:-}" = early ] && return 0
    [ -n "$window" ] && [ -s "$folder/RESPOSTA/resposta.txt" ] && break
    sleep 0.1
  done
  sleep 0.5  # the answer phase has written the file; let the window repaint
  [ -n "$window" ]
}

# Waits at most $1 tenths of a second for the program; sets status (-1:
# still running, then ended).
end_run() {
  status=-1
  for _ in $(seq "$1"); do kill -0 "$program_pid" 2>/dev/null || break; sleep 0.1; done
  if kill -0 "$program_pid" 2>/dev/null; then
    kill "$program_pid" 2>/dev/null || true
    wait "$program_pid" 2>/dev/null || true
  else
    wait "$program_pid" && status=0 || status=$?
  fi
  kill "$device_pid" 2>/dev/null || true
  wait "$device_pid" 2>/dev/null || true
}

# A shown run at $1 pixels per inch: the client area's size and the window's
# place are measured, and the screenshot is kept as $2. Wine takes the
# density from the LogPixels setting, read when a program starts.
check_shown_window() {
  local dpi=$1 shot=$2 geometry left top width right_gap want_width want_height red
  wine reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d "$dpi" /f >/dev/null 2>&1
  start_shown_run $'S\r\n3\r\n' || fail "the window did not appear at $dpi dpi"
  geometry=$(xwininfo -id "$window")
  left=$(awk '/Absolute upper-left X/ {print $4}' <<<"$geometry")
  top=$(awk '/Absolute upper-left Y/ {print $4}' <<<"$geometry")
  width=$(awk '/  Width:/ {print $2}' <<<"$geometry")
  import -window "$window" -define png:exclude-chunks=date,time "$shot"
  end_run 60
  # The client area is the largest patch of the window's grey.
  read -r client_width client_height < <(convert "$shot" -fill black +opaque '#ABABAB' \
    -define connected-components:verbose=true -connected-components 4 null: |
    awk '/srgb\(171,171,171\)/ {print $4, $2}' | sort -n | tail -n1 |
    sed -E 's/^[0-9]+ ([0-9]+)x([0-9]+).*/\1 \2/')
  want_width=$(((4905 * dpi + 720) / 1440))
  want_height=$(((3120 * dpi + 720) / 1440))
  right_gap=$((screen_width - left - width))
  echo "$dpi dpi: client ${client_width}x${client_height} (want ${want_width}x${want_height});" \
    "top $top, right gap $right_gap (want 30); exit status $status"
  within "$client_width" "$want_width" && within "$client_height" "$want_height" ||
    fail "client size at $dpi dpi"
  within "$top" 30 && within "$right_gap" 30 || fail "placement at $dpi dpi"
  [ "$status" -eq 0 ] || fail "exit status $status at $dpi dpi"
  grep -q '^000|Sucesso' "$folder/RESPOSTA/resposta.txt" || fail "response at $dpi dpi"
  # The texts reach a shown window's controls: the text areas' red is drawn.
  red=$(convert "$shot" -fuzz 25% -fill black +opaque red -fill white -opaque red \
    -format '%[fx:mean>0]' info:)
  [ "$red" = 1 ] || fail "the text areas show no text at $dpi dpi"
  rm -rf "$folder"
}

echo "== Shown window under Xvfb: size, place and screenshot"
shot=$root/build/windows/screenshot-windows.png
check_shown_window "$dpi" "$shot"
[ "${TS_UPDATE_SCREENSHOT:-}" != 1 ] || cp "$shot" docs/screenshot-windows.png

# The window comes up without taking the focus: the user clicks its title
# bar first, as they would before pressing Alt+F4.
activate_by_click() {
  xdotool mousemove --window "$window" 60 8 click 1
  sleep 0.3
}

echo "== Display time 0: the window stays until the user closes it"
start_shown_run $'S\r\n0\r\n' || fail "the window did not appear"
sleep 1
kill -0 "$program_pid" 2>/dev/null || fail "the program ended by itself"
activate_by_click
xdotool key alt+F4
end_run 50
echo "exit status after closing: $status"
[ "$status" -eq 0 ] || fail "closing the window after the answer: exit status $status"
rm -rf "$folder"

echo "== Closing the window before the answer: exit status 8, no response"
start_shown_run $'S\r\n0\r\n' early || fail "the window did not appear"
# The answer is due 1.5 s after the start. A click that lands while Wine is
# still setting the new window up is lost, and Alt+F4 with it: until the
# answer is written, try again.
for tries in 1 2 3 4 5 6; do
  activate_by_click
  xdotool key alt+F4
  sleep 0.2
  kill -0 "$program_pid" 2>/dev/null && [ ! -e "$folder/RESPOSTA/resposta.txt" ] || break
done
end_run 50
echo "exit status after closing early: $status (Alt+F4 pressed $tries times)"
[ "$status" -eq 8 ] || fail "closing the window before the answer: exit status $status"
[ ! -e "$folder/RESPOSTA/resposta.txt" ] || fail "a response was written after closing early"
rm -rf "$folder"

echo "== Closing the window while a long text drains: it answers at once"
# 3000 characters at 1200 baud take 25 seconds on the line: the answer phase
# waits for them with the window alive, and closing it ends the run there.
start_shown_run $'S\r\n0\r\n' early "$(printf '9\r\n1200\r\n8\r\n1\r\nN\r\n%03000d' 0)" ||
  fail "the window did not appear"
sleep 3 # past the answer phase, which is due 1.5 s after the start
for tries in 1 2 3 4 5 6; do
  activate_by_click
  xdotool key alt+F4
  sleep 0.5
  kill -0 "$program_pid" 2>/dev/null || break
done
end_run 50
echo "exit status after closing while draining: $status (Alt+F4 pressed $tries times)"
[ "$status" -eq 8 ] || fail "closing the window while the text drains: exit status $status"
[ ! -e "$folder/RESPOSTA/resposta.txt" ] || fail "a response was written after closing"
rm -rf "$folder"

echo "== An order the caller still holds for a moment is read once it lets go"
# The caller holds ordem.txt without sharing until 200 ms after the order is
# due: the run waits for it, rather than answering 004.
folder=$(mktemp -d "$root/build/windows/order-held-XXXXXX")
mkdir "$folder/ORDEM" "$folder/RESPOSTA"
cp "$exe" "$root/build/windows/hold-file.exe" "$folder/"
printf 'S\r\n1\r\n' >"$folder/config.ini"
printf '9\r\n9600\r\n8\r\n1\r\nN\r\nP' >"$folder/ORDEM/ordem.txt"
build/default/fake-device --link "$WINEPREFIX/dosdevices/com9" --reply 'ok' --seconds 20 >/dev/null &
device_pid=$!
wine "$folder/hold-file.exe" 'ORDEM\ordem.txt' 700 writing &
holder_pid=$!
for _ in $(seq 100); do [ -e "$folder/hold-file.ready" ] && break; sleep 0.1; done
wine "$folder/terminal-serial.exe" &
program_pid=$!
end_run 100
wait "$holder_pid" 2>/dev/null || true
echo "exit status with the order held: $status; $(head -c 3 "$folder/RESPOSTA/resposta.txt" 2>/dev/null)"
[ "$status" -eq 0 ] || fail "an order held for a moment: exit status $status"
rm -rf "$folder"

# --- Show state and focus ------------------------------------------------------
# A caller that holds the focus and asks, through STARTUPINFO, for a hidden or
# a minimised window: config.ini alone decides, and the caller keeps the focus.
echo "== The window is shown as config.ini says, without taking the focus"
for state in hide minimized; do
  folder=$(mktemp -d "$root/build/windows/state-XXXXXX")
  mkdir "$folder/ORDEM" "$folder/RESPOSTA"
  cp "$exe" "$folder/"
  printf 'S\r\n1\r\n' >"$folder/config.ini"
  printf '199\r\n9600\r\n8\r\n1\r\nN\r\nP' >"$folder/ORDEM/ordem.txt" # no such port: 003
  wine "$root/build/windows/show-state-launcher.exe" "Z:${folder//\//\\}\\terminal-serial.exe" \
    "$state" || fail "started with a $state show state"
  rm -rf "$folder"
done

# --- terminal-serial-check --------------------------------------------------------
# (The end-to-end suite above runs it over broken folders beside each build.)
# From the unpacked zip's layout with no argument: a port the system lacks
# is named, with the ports it has, and the exit status is the run's 003.
echo "== terminal-serial-check: a port the system does not have"
for preset in windows windows-i686; do
  folder=$(mktemp -d "$root/build/windows/check-XXXXXX")
  mkdir "$folder/ORDEM" "$folder/RESPOSTA"
  cp "build/$preset/terminal-serial.exe" "build/$preset/terminal-serial-check.exe" "$folder/"
  printf 'N\r\n' >"$folder/config.ini"
  printf '199\r\n9600\r\n8\r\n1\r\nN\r\nP' >"$folder/ORDEM/ordem.txt"
  status=0
  wine "$folder/terminal-serial-check.exe" >"$folder/report.txt" 2>&1 || status=$?
  cat "$folder/report.txt"
  [ "$status" -eq 3 ] || fail "$preset check: exit status $status, not 3"
  grep -q '^FAIL  port COM199: .*no such port; .*COM ports this system has' "$folder/report.txt" ||
    fail "$preset check: the missing port is not named"
  status=0
  wine "$folder/terminal-serial.exe" || status=$?
  [ "$status" -eq 3 ] || fail "$preset: the run ended with $status where the check said 3"
  rm -rf "$folder"
done

# A service, or a task run whether or not a user is logged on, runs the program
# in a window station no screen shows: with a display time of 0 it must still
# end by itself, timed as a hidden run, with its answer.
echo "== A run in a window station no screen shows ends by itself"
folder=$(mktemp -d "$root/build/windows/unseen-XXXXXX")
mkdir "$folder/ORDEM" "$folder/RESPOSTA"
cp "$exe" "$folder/"
printf 'S\r\n0\r\n' >"$folder/config.ini"
printf '199\r\n9600\r\n8\r\n1\r\nN\r\nP' >"$folder/ORDEM/ordem.txt" # no such port: 003
wine "$root/build/windows/show-state-launcher.exe" "Z:${folder//\//\\}\\terminal-serial.exe" \
  unseen 3 || fail "a run in an unseen window station"
grep -q '^003|' "$folder/RESPOSTA/resposta.txt" || fail "no answer from an unseen window station"
rm -rf "$folder"

# No dialog waits for a click that an unattended till never gets: abort(),
# an exception nobody catches and a crash end a windowed program at once with
# status 11 (the C runtime and Wine would otherwise each show a box).
echo "== Faults end the program without a dialog, with status 11"
for preset in windows windows-i686; do
  for fault in abort terminate crash; do
    status=0
    timeout 30 wine "$root/build/$preset/fault-probe.exe" "$fault" || status=$?
    echo "$preset, $fault: exit status $status"
    [ "$status" -eq 11 ] || fail "$preset, $fault: exit status $status, not 11"
  done
done

# --- 150 % --------------------------------------------------------------------
echo "== Shown window at 144 pixels per inch"
check_shown_window 144 "$root/build/windows/screenshot-windows-144dpi.png"
wine reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d "$dpi" /f >/dev/null 2>&1

[ "$failed" -eq 0 ] || exit 1
echo "Windows build: all checks passed"
