#!/usr/bin/env bash
# Runs the window tests on virtual X servers (Xvfb): a 1920x1080 screen at
# the server's usual density, a 3840-pixel screen at 120 pixels per inch
# (wider than 32767 twips), and the first screen again under a window
# manager that frames the window. Expects the builds from scripts/test.sh.
#
#   scripts/test-x11.sh [PRESET...]   presets to test (default: default asan)
#   TS_UPDATE_SCREENSHOT=1 ...        also refresh docs/screenshot-linux.png
set -euo pipefail
cd "$(dirname "$0")/.."

presets=("$@")
[ ${#presets[@]} -gt 0 ] || presets=(default asan)

server_pid=""
manager_pid=""
stop() {
  local pid=$1
  [ -n "$pid" ] || return 0
  kill "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
}
stop_server() {
  stop "$manager_pid"
  stop "$server_pid"
  manager_pid=""
  server_pid=""
}
trap stop_server EXIT

# Starts Xvfb on a free display number (it picks one and reports it).
start_server() {
  local numberFile
  numberFile=$(mktemp)
  # -noreset: the tests connect one after another, never to a server that
  # is busy resetting itself.
  Xvfb -displayfd 3 -nolisten tcp -noreset "$@" 3>"$numberFile" 2>/dev/null &
  server_pid=$!
  for _ in $(seq 100); do
    [ -s "$numberFile" ] && break
    sleep 0.1
  done
  display=":$(head -n1 "$numberFile")"
  rm -f "$numberFile"
  [ "$display" != ":" ] || { echo "Xvfb did not start" >&2; exit 1; }
}

run_window_tests() {
  local preset=$1 screenshot=$2
  TS_TEST_DISPLAY="$display" TS_SCREENSHOT="$screenshot" \
    ctest --preset "$preset" -R '^X11Window\.'
}

for screen in "1920x1080x24" "3840x1200x24 -dpi 120"; do
  # shellcheck disable=SC2086 # the screen's words are Xvfb's arguments
  start_server -screen 0 $screen
  echo "window tests on Xvfb $display, screen $screen"
  for preset in "${presets[@]}"; do
    screenshot="$PWD/build/$preset/screenshot-linux.png"
    run_window_tests "$preset" "$screenshot"
    if [ "${TS_UPDATE_SCREENSHOT:-}" = 1 ] && [ "$preset" = default ] && [[ $screen == 1920* ]]; then
      cp "$screenshot" docs/screenshot-linux.png
    fi
  done
  stop_server
done

# A window manager adds a frame and reports it; the window counts it in.
start_server -screen 0 1920x1080x24
DISPLAY="$display" openbox >/dev/null 2>&1 &
manager_pid=$!
for _ in $(seq 100); do
  DISPLAY="$display" xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id' && break
  sleep 0.1
done
echo "window tests on Xvfb $display under a window manager"
run_window_tests "${presets[0]}" "$PWD/build/${presets[0]}/screenshot-framed.png"
stop_server
