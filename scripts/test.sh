#!/usr/bin/env bash
# Builds and runs every test: the release build, then the same tests under
# AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

run_preset() {
  cmake --preset "$1" >/dev/null
  cmake --build --preset "$1"
  ctest --preset "$1" -j2
}

run_preset default
run_preset asan
scripts/test-qemu.sh
scripts/test-qemu.sh build/asan
scripts/test-x11.sh
scripts/test-windows.sh
scripts/test-packaging.sh
scripts/test-fuzz.sh
scripts/test-valgrind.sh
