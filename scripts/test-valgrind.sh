#!/usr/bin/env bash
# Runs the end-to-end tests once more with every run of the program under
# valgrind's memcheck: invalid reads and writes, uses of uninitialised
# memory and definite leaks fail the run, whatever the test itself checked.
# Schedule bounds widen for valgrind's slow start.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset default >/dev/null
cmake --build --preset default

logs=$(mktemp -d "${TMPDIR:-/tmp}/ts-valgrind.XXXXXX")
trap 'rm -rf "$logs"' EXIT
chmod 1777 "$logs"  # some runs are made as the user nobody
export TS_E2E_WRAPPER="valgrind -q --error-exitcode=99 --leak-check=full \
--errors-for-leak-kinds=definite --suppressions=$PWD/tests/valgrind.supp \
--log-file=$logs/run.%p.log"
ctest --preset default -j2 -R '^(EndToEnd|Fault|Soak)\.'

# A report comes with a stack; warnings alone (valgrind knows no sizes for
# the exclusive-use terminal ioctls) have none.
reports=$(grep -lE '^==[0-9]+== +(at|by) 0x' "$logs"/run.*.log || true)
if [ -n "$reports" ]; then
  for report in $reports; do
    echo "== $report"
    cat "$report"
  done
  echo "valgrind: memory errors in the runs above"
  exit 1
fi
echo "valgrind: $(find "$logs" -name 'run.*.log' | wc -l) runs without a memory error or leak"
