#!/bin/busybox sh
# shellcheck shell=dash
# The guest's first process: loads the USB serial drivers, then runs the
# program once per line of /cases and reports each run on the console.
#   case line: ID KIND PORT BAUD DATA STOP PARITY TEXT EXPECTED
/bin/busybox --install -s /bin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev

while read -r module; do insmod "/modules/$module.ko"; done </modules/order
waited=0
while [ ! -e /dev/ttyUSB0 ] && [ $waited -lt 100 ]; do
  sleep 0.1
  waited=$((waited + 1))
done

cd /ts || exit 1
mkdir -p ORDEM RESPOSTA PORTAS
ln -s /dev/ttyUSB0 PORTAS/COM5
printf 'N\r\n' >config.ini

# A port that leads nowhere: the check offers the serial devices present,
# the adapter and a modem-class node (no driver behind it: only its name
# is offered), eight at the most of the eleven there are, the persistent
# name first.
mknod /dev/ttyACM0 c 166 0
for minor in 1 2 3 4 5 6 7 8; do mknod /dev/ttyUSB$minor c 188 $minor; done
mkdir -p /dev/serial/by-id
ln -s ../../ttyUSB0 /dev/serial/by-id/usb-serial-adapter-if00-port0
printf '9\r\n9600\r\n8\r\n1\r\nN\r\nX\r\n' >ORDEM/ordem.txt
./terminal-serial-check >check.txt 2>&1
status=$?
offered=$(sed -n 's/.*serial devices present now: *//p' check.txt | tr ' ' ',')
echo "@@CHECK status=$status offered=$offered@@"

# The UART as an earlier program may leave it: at rate 0, hung up. Opening
# it then raises no modem line, but setting the order's rate does, and the
# run must lower them again before it sends; the first UART case meets it.
stty -F /dev/ttyS1 0 2>/dev/null

uptime_cs() {
  read -r up _ </proc/uptime
  echo "${up%.*}${up#*.}"
}

while read -r id _kind port baud data stop parity text _expected; do
  # Printed before the port opens: the marker also shows in the UART trace.
  echo "@@RUN $id@@"
  printf '%s\r\n%s\r\n%s\r\n%s\r\n%s\r\n%s\r\n' \
    "$port" "$baud" "$data" "$stop" "$parity" "$text" >ORDEM/ordem.txt
  rm -f RESPOSTA/resposta.txt
  start=$(uptime_cs)
  timeout 30 ./terminal-serial
  status=$?
  end=$(uptime_cs)
  response=$(od -An -v -tx1 RESPOSTA/resposta.txt 2>/dev/null | tr -d ' \n')
  usb=no
  [ -e /dev/ttyUSB0 ] && usb=yes
  echo "@@END $id status=$status centiseconds=$((end - start)) usb=$usb response=$response@@"
done </cases
echo "@@DONE@@"
poweroff -f
