#!/usr/bin/env bash
# Benchmarks the release executable against the scripts a user would write
# instead (bench/peers: Python's serial library; stty, printf, timeout and
# cat), taking turns on the same simulated device, hidden mode, no display.
# Prints a Markdown table of medians (worst run in brackets) and ratios.
# Usage: bench/run.sh [RUNS] [SCENARIOS]   (default 15 runs; short,silent,flood)
# Needs a quiet machine: every run is timed.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset release >/dev/null
cmake --build --preset release >/dev/null

echo "## $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores, $(sed -n 's/^model name\s*: //p' /proc/cpuinfo | head -n 1), Linux $(uname -r)"
echo "terminal-serial: $(stat -c %s build/release/terminal-serial) bytes; python3 $(/usr/bin/python3 -c 'import platform, serial; print(platform.python_version(), "with serial", serial.__version__)'); bash ${BASH_VERSION%%(*}"
build/release/bench-driver --ours build/release/terminal-serial --python bench/peers/peer.py \
  --shell bench/peers/peer.sh --runs "${1:-15}" --scenarios "${2:-short,silent,flood}"
