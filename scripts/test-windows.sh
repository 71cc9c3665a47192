#!/usr/bin/env bash
# The Windows build: cross-builds terminal-serial.exe, checks that it needs
# no DLL beyond Windows' own, then runs it under Wine (a throwaway prefix,
# Xvfb as the screen): the end-to-end suite against pseudo-terminal devices,
# and a shown-window run whose size and place are measured and whose
# screenshot is kept (build/windows/screenshot-windows.png; with
# TS_UPDATE_SCREENSHOT=1 also docs/screenshot-windows.png).
# Needs build/default (scripts/test.sh builds it first).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

cmake --preset windows >/dev/null
cmake --build --preset windows
exe=$root/build/windows/terminal-serial.exe
[ -x build/default/tests/posix_tests ] || cmake --build --preset default

echo "== DLLs the executable imports"
dlls=$(x86_64-w64-mingw32-objdump -p "$exe" | awk '/DLL Name:/ {print $3}')
echo "$dlls"
# Windows' own: the kernel, the window manager, GDI and the C runtime.
if echo "$dlls" | grep -viqE '^(kernel32|user32|gdi32|msvcrt|ucrtbase|api-ms-win-crt-[a-z0-9-]+)\.dll$'; then
  echo "FAIL: the executable needs a DLL that Windows does not ship" >&2
  exit 1
fi

# A screen 2560 pixels wide at 96 pixels per inch: 38400 twips, more than
# a 16-bit width holds, so the placement is checked where it is hardest.
dpi=96
screen_width=2560
display=""
for n in $(seq 90 140); do
  if [ ! -e "/tmp/.X$n-lock" ] && [ ! -e "/tmp/.X11-unix/X$n" ]; then display=":$n"; break; fi
done
[ -n "$display" ] || { echo "FAIL: no free X display" >&2; exit 1; }

export WINEPREFIX=$root/build/windows/wineprefix
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="  # no installer dialogs for .NET or HTML
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
wineserver -k 2>/dev/null || true  # a server left by an earlier run
rm -rf "$WINEPREFIX"
mkdir -p "$WINEPREFIX"
# One server for every run, instead of one start-up per run.
wineserver -p >/dev/null 2>&1
wineboot -i >/dev/null 2>&1
# Wine draws the window's frame itself, as Windows does, since no window
# manager runs: the X window is then the whole window.
wine reg add 'HKCU\Software\Wine\X11 Driver' /v Decorated /t REG_SZ /d N /f >/dev/null 2>&1

echo "== End-to-end suite under Wine"
TS_E2E_WINE=1 TS_E2E_EXE="$exe" build/default/tests/posix_tests --gtest_filter='EndToEnd.*'

failed=0
fail() { echo "FAIL: $*" >&2; failed=1; }
within() { [ "$1" -ge $(($2 - 2)) ] && [ "$1" -le $(($2 + 2)) ]; }
caption="Terminal Serial Vorlan - Multi Portas"

# Starts a shown run with `config.ini` = $1 against a device on COM9 and
# waits until its window has shown the answer (with $2 = early: only until
# the window appears). Sets folder, window, program_pid and device_pid.
start_shown_run() {
  folder=$(mktemp -d "$root/build/windows/shown-XXXXXX")
  mkdir "$folder/ORDEM" "$folder/RESPOSTA"
  cp "$exe" "$folder/"
  printf '%s' "$1" >"$folder/config.ini"
  printf '9\r\n9600\r\n8\r\n1\r\nN\r\nP' >"$folder/ORDEM/ordem.txt"
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

echo "== Shown window under Xvfb: size, place and screenshot"
start_shown_run $'S\r\n3\r\n' || fail "the window did not appear"
geometry=$(xwininfo -id "$window")
left=$(awk '/Absolute upper-left X/ {print $4}' <<<"$geometry")
top=$(awk '/Absolute upper-left Y/ {print $4}' <<<"$geometry")
width=$(awk '/  Width:/ {print $2}' <<<"$geometry")
shot=$root/build/windows/screenshot-windows.png
import -window "$window" -define png:exclude-chunks=date,time "$shot"
end_run 60
# The client area is the window's grey; its bounding box is measured.
read -r client_width client_height < <(convert "$shot" -fill black +opaque '#ABABAB' \
  -format '%@\n' info: | sed -E 's/^([0-9]+)x([0-9]+).*/\1 \2/')
want_width=$(((4905 * dpi + 720) / 1440))
want_height=$(((3120 * dpi + 720) / 1440))
right_gap=$((screen_width - left - width))
echo "client ${client_width}x${client_height} (want ${want_width}x${want_height});" \
  "top $top, right gap $right_gap (want 30); exit status $status"
within "$client_width" "$want_width" && within "$client_height" "$want_height" ||
  fail "client size"
within "$top" 30 && within "$right_gap" 30 || fail "placement"
[ "$status" -eq 0 ] || fail "exit status $status"
grep -q '^000|Sucesso' "$folder/RESPOSTA/resposta.txt" || fail "response"
rm -rf "$folder"
[ "${TS_UPDATE_SCREENSHOT:-}" != 1 ] || cp "$shot" docs/screenshot-windows.png

echo "== Display time 0: the window stays until the user closes it"
start_shown_run $'S\r\n0\r\n' || fail "the window did not appear"
sleep 1
kill -0 "$program_pid" 2>/dev/null || fail "the program ended by itself"
xdotool windowfocus --sync "$window"
xdotool key alt+F4
end_run 50
echo "exit status after closing: $status"
[ "$status" -eq 0 ] || fail "closing the window after the answer: exit status $status"
rm -rf "$folder"

echo "== Closing the window before the answer: exit status 8, no response"
start_shown_run $'S\r\n0\r\n' early || fail "the window did not appear"
xdotool windowfocus --sync "$window"
xdotool key alt+F4
end_run 50
echo "exit status after closing early: $status"
[ "$status" -eq 8 ] || fail "closing the window before the answer: exit status $status"
[ ! -e "$folder/RESPOSTA/resposta.txt" ] || fail "a response was written after closing early"
rm -rf "$folder"

[ "$failed" -eq 0 ] || exit 1
echo "Windows build: all checks passed"
