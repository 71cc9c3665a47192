# Shared by the shell tests: one line per check, the output of a failure
# indented below it, and a closing "N passed, N failed" line.
# shellcheck shell=bash

checks_passed=0
checks_failed=0

check() {  # check NAME COMMAND...
  local name=$1 output
  shift
  if output=$("$@" 2>&1); then
    checks_passed=$((checks_passed + 1))
    echo "ok - $name"
  else
    checks_failed=$((checks_failed + 1))
    echo "FAILED - $name"
    [[ -z $output ]] || printf '%s\n' "$output" | sed 's/^/    /'
  fi
  return 0
}

# Prints the closing line; fails when a check failed.
checks_summary() {  # checks_summary LABEL
  echo "$1: $checks_passed passed, $checks_failed failed"
  ((checks_failed == 0))
}
