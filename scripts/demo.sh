#!/usr/bin/env bash
# The main job, end to end: builds the program, prepares a working folder as
# a calling program would, plays a scale on a pseudo-terminal, runs one
# exchange and shows the response file and what the device received.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh build
cmake --preset default >/dev/null
cmake --build --preset default --target terminal-serial fake-device >/dev/null

work=$(mktemp -d "${TMPDIR:-/tmp}/terminal-serial-demo.XXXXXX")
trap 'kill "${device:-0}" 2>/dev/null || true; rm -rf "$work"' EXIT
cp build/default/terminal-serial "$work/"
mkdir -p "$work/ORDEM" "$work/RESPOSTA" "$work/PORTAS"
printf 'N\r\n' >"$work/config.ini"  # hidden mode: no window
# COM1 at 9600 baud, 8 data bits, 1 stop bit, no parity; send "P".
printf '1\r\n9600\r\n8\r\n1\r\nN\r\nP' >"$work/ORDEM/ordem.txt"

# The device: answers 100 ms after the first byte it receives.
build/default/fake-device --link "$work/PORTAS/COM1" --reply $'+0012.50kg\r\n' --delay 100 \
  --log "$work/device.log" --seconds 4 >/dev/null &
device=$!
for _ in $(seq 50); do [ -L "$work/PORTAS/COM1" ] && break; sleep 0.05; done

echo "working folder: $work"
echo "port: COM1 -> $(readlink "$work/PORTAS/COM1")"
start=$(date +%s%N)
status=0
(cd / && "$work/terminal-serial") || status=$?
echo "exit status: $status after $((($(date +%s%N) - start) / 1000000)) ms"
wait "$device" || true
echo "device received: $(cat "$work/device.log")"
echo "RESPOSTA/resposta.txt:"
od -An -c "$work/RESPOSTA/resposta.txt"
