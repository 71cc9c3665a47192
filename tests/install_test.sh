#!/usr/bin/env bash
# Checks an installed terminal-serial as an administrator and a calling
# program meet it: the layout, the manual pages, the setup command, a real
# exchange from a prepared working folder and the example callers, each
# against a simulated device on a pseudo-terminal.
#
#   install_test.sh --build BUILD_DIR FAKE_DEVICE   installs the build first
#   install_test.sh --prefix PREFIX FAKE_DEVICE     an installed tree (e.g. usr/
#                                                   of an unpacked package)
set -uo pipefail

source_dir=$(cd "$(dirname "$0")/.." && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

case "${1:-}" in
  --build)
    prefix=$scratch/prefix
    "${CMAKE:-cmake}" --install "$2" --prefix "$prefix" >/dev/null || exit 1
    ;;
  --prefix) prefix=$(cd "$2" && pwd) ;;
  *)
    echo "usage: $0 --build BUILD_DIR FAKE_DEVICE | --prefix PREFIX FAKE_DEVICE" >&2
    exit 2
    ;;
esac
fake_device=$3

setup=$prefix/bin/terminal-serial-setup
package_exe=$prefix/lib/terminal-serial/terminal-serial
example=$prefix/share/terminal-serial/example
examples=$prefix/share/doc/terminal-serial/examples

source "$source_dir/tests/checks.sh"

same_bytes() {  # same_bytes FILE EXPECTED
  cmp <(printf '%s' "$2") "$1"
}

every_line_ends_in_crlf() {
  [[ $(grep -c $'\r$' "$1") == $(wc -l <"$1") ]] && [[ $(wc -l <"$1") -gt 0 ]]
}

# --- Layout ------------------------------------------------------------------

layout_keeps_the_executable_off_the_path() {
  [[ $(ls "$prefix/bin" | xargs) == "terminal-serial-check terminal-serial-setup" ]] &&
    [[ -x $setup ]] &&
    [[ -x $package_exe ]] && [[ ! -e $prefix/lib/terminal-serial/ORDEM ]]
}

example_folder_is_complete() {
  local f
  for f in config.ini ORDEM/ordem.txt ORDEM/README.txt RESPOSTA/README.txt PORTAS/README.txt; do
    [[ -f $example/$f ]] || { echo "missing $f"; return 1; }
  done
  # The program splits lines at CR: LF-only files would be one line.
  every_line_ends_in_crlf "$example/config.ini" && every_line_ends_in_crlf "$example/ORDEM/ordem.txt"
}

manual_pages_render_without_warnings() {
  local page locale warnings
  for page in terminal-serial terminal-serial-setup terminal-serial-check; do
    for locale in C.UTF-8 C; do
      warnings=$(LC_ALL=$locale MANWIDTH=80 man --warnings -l \
        "$prefix/share/man/man1/$page.1.gz" 2>&1 >/dev/null) || return 1
      [[ -z $warnings ]] || { echo "$page ($locale): $warnings"; return 1; }
    done
  done
}

# The manual quotes every result text exactly (in UTF-8); the program's own
# texts are the reference.
manual_quotes_the_result_texts() {
  python3 - "$source_dir/src/exchange/result_texts.h" \
    <(zcat "$prefix/share/man/man1/terminal-serial.1.gz") <<'EOF'
import re, sys
header, manual = open(sys.argv[1]).read(), open(sys.argv[2], encoding="utf-8").read()
texts = []
for declaration in re.findall(r'constexpr std::string_view k\w+ =(.*?);', header, re.S):
    pieces = re.findall(r'"((?:[^"\\]|\\.)*)"', declaration)
    raw = "".join(pieces).encode("latin-1").decode("unicode_escape").encode("latin-1")
    texts.append(raw.decode("cp1252"))
missing = [t for t in texts if t not in manual]
print("\n".join(missing))
sys.exit(1 if missing or len(texts) != 8 else 0)
EOF
}

# --- The setup command -------------------------------------------------------

# Setup ends with the check's report on the folder it prepared.
setup_prepares_a_folder_with_a_real_copy() {
  local folder=$scratch/prepared/nested
  "$setup" "$folder" >"$scratch/setup.out" || return 1
  grep -q "^terminal-serial-check: $folder\$" "$scratch/setup.out" &&
    grep -q '^ok    program: terminal-serial is there' "$scratch/setup.out" &&
    grep -q '^result: ' "$scratch/setup.out" || { cat "$scratch/setup.out"; return 1; }
  [[ -f $folder/terminal-serial && ! -L $folder/terminal-serial ]] &&
    cmp "$package_exe" "$folder/terminal-serial" && [[ -x $folder/terminal-serial ]] &&
    cmp "$example/config.ini" "$folder/config.ini" &&
    cmp "$example/ORDEM/ordem.txt" "$folder/ORDEM/ordem.txt" &&
    [[ -d $folder/RESPOSTA && -f $folder/PORTAS/README.txt ]]
}

setup_keeps_the_callers_files_unless_forced() {
  local folder=$scratch/keep
  "$setup" "$folder" >/dev/null || return 1
  printf 'N\r\n' >"$folder/config.ini"
  printf '7\r\n' >"$folder/ORDEM/ordem.txt"
  printf 'old\r\n' >"$folder/RESPOSTA/resposta.txt"
  local messages
  messages=$("$setup" "$folder") || return 1
  grep -q 'kept.*config.ini' <<<"$messages" && same_bytes "$folder/config.ini" $'N\r\n' &&
    same_bytes "$folder/ORDEM/ordem.txt" $'7\r\n' || return 1
  "$setup" --force "$folder" >/dev/null || return 1
  cmp "$example/config.ini" "$folder/config.ini" &&
    cmp "$example/ORDEM/ordem.txt" "$folder/ORDEM/ordem.txt" &&
    same_bytes "$folder/RESPOSTA/resposta.txt" $'old\r\n'
}

setup_update_refreshes_only_the_executable() {
  local folder=$scratch/upgrade
  "$setup" "$folder" >/dev/null || return 1
  printf 'N\r\n' >"$folder/config.ini"
  # A copy made from an earlier package, and a link a person made by hand.
  printf 'old build' >"$folder/terminal-serial"
  "$setup" --update "$folder" >/dev/null || return 1
  cmp "$package_exe" "$folder/terminal-serial" && same_bytes "$folder/config.ini" $'N\r\n' || return 1
  ln -sf "$package_exe" "$folder/terminal-serial"
  "$setup" -u "$folder" >/dev/null || return 1
  [[ ! -L $folder/terminal-serial ]] && cmp "$package_exe" "$folder/terminal-serial"
}

setup_refuses_what_it_must_not_touch() {
  local status
  "$setup" --update "$scratch" >/dev/null 2>&1
  status=$?
  [[ $status == 1 ]] || { echo "--update on a plain folder: $status"; return 1; }
  "$setup" "$prefix/lib/terminal-serial" >/dev/null 2>&1
  status=$?
  [[ $status == 1 ]] || { echo "the package folder: $status"; return 1; }
  "$setup" >/dev/null 2>&1
  status=$?
  [[ $status == 2 ]] || { echo "no folder: $status"; return 1; }
  "$setup" --bogus "$scratch/x" >/dev/null 2>&1
  status=$?
  [[ $status == 2 && ! -e $scratch/x ]] || { echo "unknown option: $status"; return 1; }
}

# --- Runs against a device ---------------------------------------------------

device_pid=
# Plays a device on COM1 of FOLDER answering REPLY; logs what it receives.
start_device() {
  "$fake_device" --link "$1/PORTAS/COM1" --reply "$2" --delay 50 \
    --log "$scratch/device.log" --seconds 3 >/dev/null &
  device_pid=$!
  for _ in {1..200}; do
    [[ -L $1/PORTAS/COM1 ]] && return 0
    sleep 0.01
  done
  return 1
}

# Waits for the device to end and checks what it received.
device_received() {
  wait "$device_pid"
  same_bytes "$scratch/device.log" "$1"
}

headless() { env -u DISPLAY -u WAYLAND_DISPLAY "$@"; }

exchange_from_a_prepared_folder() {
  local folder=$scratch/exchange
  "$setup" "$folder" >/dev/null || return 1
  printf 'N\r\n' >"$folder/config.ini"
  start_device "$folder" $'+0012.50kg\r\n\x01\x80\xe9\xff' || return 1
  local status
  (cd / && headless "$folder/terminal-serial")
  status=$?
  device_received PING || return 1
  [[ $status == 0 ]] || { echo "exit status $status"; return 1; }
  same_bytes "$folder/RESPOSTA/resposta.txt" $'000|Sucesso\r\n+0012.50kg\r\n\x01\x80\xe9\xff\r\n'
}

package_executable_run_in_place_changes_nothing() {
  local before status
  before=$(ls -lR "$prefix")
  headless "$package_exe" 2>"$scratch/errors"
  status=$?
  [[ $status == 10 ]] || { echo "exit status $status"; return 1; }
  grep -q "RESPOSTA/resposta.txt" "$scratch/errors" && [[ $(ls -lR "$prefix") == "$before" ]]
}

# The example callers as their documentation says: reply on stdout, text
# converted to Windows-1252, the result code as exit status, and the result
# line in UTF-8 when the port cannot be opened.
example_caller_works() {
  local folder=$scratch/caller-$1 status
  shift
  "$setup" "$folder" >/dev/null || return 1
  printf 'N\r\n' >"$folder/config.ini"
  start_device "$folder" $'12,5 kg\r\n\xe9' || return 1
  headless "$@" "$folder" 1 'Olá' >"$scratch/reply" 2>"$scratch/errors"
  status=$?
  device_received $'Ol\xe1' || return 1
  [[ $status == 0 ]] || { echo "exit status $status"; cat "$scratch/errors"; return 1; }
  same_bytes "$scratch/reply" $'12,5 kg\r\n\xe9' || return 1

  ln -s /dev/nonexistent-tty "$folder/PORTAS/COM1"
  headless "$@" "$folder" 1 'x' >"$scratch/reply" 2>"$scratch/errors"
  status=$?
  [[ $status == 3 ]] || { echo "unplugged: exit status $status"; return 1; }
  grep -qx '003|A porta não pôde ser aberta. Verifique se ela existe ou se está ocupada por outro processo' \
    "$scratch/errors" && [[ ! -s $scratch/reply ]]
}

check "the executable stays off the PATH" layout_keeps_the_executable_off_the_path
check "the example working folder is complete, with CR LF files" example_folder_is_complete
check "the manual pages render without warnings" manual_pages_render_without_warnings
check "the manual quotes every result text" manual_quotes_the_result_texts
check "setup prepares a folder with a real copy" setup_prepares_a_folder_with_a_real_copy
check "setup keeps the caller's files unless forced" setup_keeps_the_callers_files_unless_forced
check "setup --update refreshes only the executable" setup_update_refreshes_only_the_executable
check "setup refuses what it must not touch" setup_refuses_what_it_must_not_touch
check "an exchange from a prepared folder" exchange_from_a_prepared_folder
check "the packaged executable run in place changes nothing" \
  package_executable_run_in_place_changes_nothing
check "the bash caller" example_caller_works bash "$examples/caller.sh"
check "the Python caller" example_caller_works python "$examples/caller.py"

checks_summary installed
