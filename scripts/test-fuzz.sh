#!/usr/bin/env bash
# Fuzzes the readers of what callers write (the order file, config.ini and
# the port settings) for a bounded time each, from the seed corpora in
# fuzz/corpus. Any crash, out-of-bounds access, undefined behaviour, leak or
# hang fails the run; the input that caused it is kept in build/fuzz/found/.
# Usage: scripts/test-fuzz.sh [SECONDS_PER_TARGET]   (default 20)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-20}
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz

found=build/fuzz/found
work=$(mktemp -d "${TMPDIR:-/tmp}/ts-fuzz.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir -p "$found"
for reader in order config settings; do
  mkdir -p "$work/$reader"
  log="$work/$reader.log"
  # New inputs go to the scratch folder; the committed seeds stay as they are.
  if ! "build/fuzz/fuzz/fuzz_$reader" -max_total_time="$seconds" -timeout=5 -max_len=4096 \
    -rss_limit_mb=2048 -artifact_prefix="$found/$reader-" "$work/$reader" "fuzz/corpus/$reader" \
    >"$log" 2>&1; then
    tail -n 40 "$log"
    echo "fuzz_$reader: FAILED; the input is in $found/"
    exit 1
  fi
  runs=$(sed -n 's/^Done \([0-9]*\) runs.*/\1/p' "$log")
  echo "fuzz_$reader: ${runs:-?} executions in ${seconds} s: no crash, leak or hang"
done
