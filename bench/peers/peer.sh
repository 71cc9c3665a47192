#!/bin/bash
# What a user would write instead of terminal-serial, with stty, printf,
# timeout and cat: the same exchange on the same schedule, the same response
# file.
# Usage: peer.sh FOLDER   (FOLDER holds ORDEM/, RESPOSTA/ and PORTAS/COM<n>)
set -u
start=${EPOCHREALTIME/./}
folder=$1

sleep_until() { # microseconds after start
  local left=$((start + $1 - ${EPOCHREALTIME/./}))
  ((left > 0)) && sleep "$((left / 1000000)).$(printf '%06d' $((left % 1000000)))"
}

# Six lines ending in CR or CR LF.
mapfile -t -d $'\r' lines <"$folder/ORDEM/ordem.txt"
for ((i = 1; i < ${#lines[@]}; i++)); do lines[i]=${lines[i]#$'\n'}; done
port=${lines[0]} baud=${lines[1]} bits=${lines[2]} stop=${lines[3]}
parity=${lines[4]} text=${lines[5]:-}
case ${parity,,} in
  e) parity_flags="parenb -parodd" ;;
  o) parity_flags="parenb parodd" ;;
  *) parity_flags="-parenb" ;;
esac
[ "$stop" = 2 ] && stop_flag=cstopb || stop_flag=-cstopb

received=$(mktemp)
sleep_until 500000
exec 3<>"$folder/PORTAS/COM$port"
stty "$baud" "cs$bits" $parity_flags $stop_flag raw -echo clocal -crtscts <&3
printf '%s' "$text" >&3
timeout 1 cat <&3 >"$received"
exec 3>&-

response=$folder/RESPOSTA/resposta.txt
if [ -s "$received" ]; then
  { printf '000|Sucesso\r\n'; cat "$received"; printf '\r\n'; } >"$response"
else
  printf '001|O dispositivo conectado \xe0 porta serial n\xe3o respondeu no prazo de 1 segundo\r\n' \
    >"$response"
fi
rm -f "$received"
sleep 0.5
