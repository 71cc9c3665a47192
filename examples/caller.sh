#!/usr/bin/env bash
# One exchange through terminal-serial, as a calling program makes it: write
# the order, start the program, wait for it, read the result and the reply.
#
#   caller.sh FOLDER PORT TEXT
#
# FOLDER is a working folder prepared by terminal-serial-setup. On success the
# device's reply goes to standard output byte for byte (pipe it through
# `iconv -f WINDOWS-1252 -t UTF-8` to read it as text) and the exit status is
# 0. Otherwise the result line goes to standard error, in UTF-8, and the exit
# status is the program's: the result code, 8 or 10.
set -euo pipefail

folder=$1 port=$2 text=$3
baud=9600 data_bits=8 stop_bits=1 parity=N
order=$folder/ORDEM/ordem.txt
response=$folder/RESPOSTA/resposta.txt

# Runs in one working folder share its order and response: one at a time.
exec {lock}<"$folder"
flock "$lock"

# Six lines, each ended by CR LF. The files and the line carry Windows-1252,
# so the text, given in this shell's UTF-8, is converted (a character that
# Windows-1252 lacks stops the script here).
printf '%s\r\n' "$port" "$baud" "$data_bits" "$stop_bits" "$parity" "$text" |
  iconv -f UTF-8 -t WINDOWS-1252 >"$order"
# A run that ends early writes no response: never read an earlier run's.
rm -f "$response"

# About 2 seconds in hidden mode; the limit only guards against a window
# left waiting for a person (display time 0).
status=0
timeout 60 "$folder/terminal-serial" || status=$?

if [[ ! -f $response ]]; then
  echo "terminal-serial ended with status $status and wrote no response" >&2
  exit "$status"
fi
if ((status == 0)); then
  # "000|Sucesso" CR LF, the reply, CR LF: skip 13 bytes, drop the last 2.
  tail -c +14 "$response" | head -c -2
else
  # For example "003|A porta não pôde ser aberta. Verifique se ...".
  head -n 1 "$response" | tr -d '\r' | iconv -f WINDOWS-1252 -t UTF-8 >&2
fi
exit "$status"
