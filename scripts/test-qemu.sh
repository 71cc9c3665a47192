#!/usr/bin/env bash
# Runs the program on a real Linux kernel under QEMU (software emulation),
# against the kernel's own serial drivers: the 8250 driver on an emulated
# 16550 UART (COM2, /dev/ttyS1) and ftdi_sio on an emulated USB serial
# adapter (COM5, linked to /dev/ttyUSB0). fake-device plays the device on
# the host; QEMU's trace shows what the drivers programmed into the
# hardware, which tests/qemu/check_wire.py compares with each order.
#
# The kernel is Debian's current one, fetched through apt and unpacked (not
# installed) under build/qemu, where it stays for the next run.
#   scripts/test-qemu.sh [BUILD_DIR]     build/default, or a preset's build/<preset>
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/default}
cache=build/qemu
mkdir -p "$cache"

# --- the kernel and the USB serial modules --------------------------------

# The modules the USB adapter needs; their load order comes from each
# module's own dependency list.
usb_modules=(usb-common usbcore xhci-hcd xhci-pci usbserial ftdi_sio)

update_package_lists() {
  local sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
}

current_kernel_package() {
  apt-cache depends linux-image-amd64 2>/dev/null |
    awk '/Depends: linux-image-[0-9]/ { print $2; exit }'
}

# Sets kernel_package and kernel_dir; fetches the package lists when they
# do not name a kernel (a machine whose lists were never fetched).
resolve_kernel() {
  kernel_package=$(current_kernel_package)
  if [ -z "$kernel_package" ] || [ "${1:-}" = again ]; then
    update_package_lists
    kernel_package=$(current_kernel_package)
  fi
  [ -n "$kernel_package" ] || { echo "no current linux-image-*-amd64 package" >&2; exit 1; }
  kernel_dir=$cache/$kernel_package
}

module_depends() {
  tr '\0' '\n' <"$1" | sed -n 's/^depends=//p' | tr ',' ' '
}

# Prints the modules, each after those it depends on.
load_order() {
  local -A placed=()
  local progress=1 module
  while [ "$progress" = 1 ]; do
    progress=0
    for module in "${usb_modules[@]}"; do
      [ -z "${placed[$module]:-}" ] || continue
      local ready=1 dep
      for dep in $(module_depends "$kernel_dir/modules/$module.ko"); do
        [ -n "${placed[$dep]:-}" ] || ready=0
      done
      [ "$ready" = 1 ] || continue
      placed[$module]=1
      progress=1
      echo "$module"
    done
  done
}

# Unpacks the kernel and the modules from the package in $1.
unpack_kernel() {
  local work=$1 module
  local patterns=('./boot/vmlinuz-*')
  for module in "${usb_modules[@]}"; do
    patterns+=("./lib/modules/*/kernel/drivers/usb/*/$module.ko")
  done
  dpkg-deb --fsys-tarfile "$work"/*.deb | tar -x -C "$work" --wildcards "${patterns[@]}"
  rm -rf "$kernel_dir.part"
  mkdir -p "$kernel_dir.part/modules"
  find "$work/lib/modules" -name '*.ko' -exec cp {} "$kernel_dir.part/modules/" \;
  # QEMU boots the ELF kernel inside the bzImage directly (its PVH entry);
  # decompressing the bzImage under emulation would cost seconds per boot.
  local image offset
  image=$(echo "$work"/boot/vmlinuz-*)
  offset=$(LC_ALL=C grep -abo $'\xfd7zXZ' "$image" | head -1 | cut -d: -f1)
  if [ -n "$offset" ]; then
    tail -c +$((offset + 1)) "$image" >"$work/payload.xz"
    xz -dc --single-stream "$work/payload.xz" >"$kernel_dir.part/vmlinux"
  else
    cp "$image" "$kernel_dir.part/vmlinux"  # not XZ: QEMU boots the bzImage, only slower
  fi
  [ "$(find "$kernel_dir.part/modules" -name '*.ko' | wc -l)" = "${#usb_modules[@]}" ] ||
    { echo "$kernel_package lacks a USB serial module" >&2; exit 1; }
  mv "$kernel_dir.part" "$kernel_dir"
}

resolve_kernel
if [ ! -f "$kernel_dir/vmlinux" ]; then
  echo "fetching $kernel_package"
  download=$cache/download  # left behind by a failure is removed by the next run
  rm -rf "$download"
  mkdir -p "$download"
  chmod 777 "$download"  # apt, run by root, downloads as its own user
  # Lists older than the archive name a package it no longer holds.
  if ! (cd "$download" && apt-get download "$kernel_package" >/dev/null); then
    resolve_kernel again
    (cd "$download" && apt-get download "$kernel_package" >/dev/null)
  fi
  unpack_kernel "$download"
  rm -rf "$download"
  # Kernels of earlier runs are not needed any more.
  find "$cache" -maxdepth 1 -name 'linux-image-*' ! -name "$kernel_package" -exec rm -rf {} +
fi

# --- the program and the device -------------------------------------------

if [ ! -x "$build/terminal-serial" ] || [ ! -x "$build/terminal-serial-check" ] ||
  [ ! -x "$build/fake-device" ]; then
  preset=$(basename "$build")  # each preset builds in build/<its name>
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" --target terminal-serial terminal-serial-check fake-device
fi
program=$build/terminal-serial
check=$build/terminal-serial-check
device=$build/fake-device

run=$(mktemp -d)
qemu_pid=
device_pids=()
cleanup() {
  # timeout passes the signal on to QEMU.
  [ -z "$qemu_pid" ] || kill "$qemu_pid" 2>/dev/null || true
  for pid in "${device_pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  rm -rf "$run"
}
trap cleanup EXIT

# --- the cases --------------------------------------------------------------
# ID KIND PORT BAUD DATA STOP PARITY TEXT EXPECTED; KIND says where the
# wire is checked: uart (COM2), usb (COM5), none (no UART behind the node).
stalled_text=STALL$(printf '%02000d' 0)
cat >"$run/cases" <<CASES
uart-9600-8N1 uart 2 9600 8 1 N U1! 000
uart-1200-5E2 uart 2 1200 5 2 E U2! 000
uart-19200-6O1 uart 2 19200 6 1 O U3! 000
uart-115200-7M2 uart 2 115200 7 2 M U4! 000
uart-57600-8S1 uart 2 57600 8 1 S U5! 000
uart-2400-7E1 uart 2 2400 7 1 e U6! 000
uart-300-6M2 uart 2 300 6 2 m U7! 000
uart-38400-5S1 uart 2 38400 5 1 S U8! 000
uart-230400-refused uart 2 230400 8 1 N U9! 003
no-uart-behind-com3 none 3 9600 8 1 N N1! 003
usb-9600-8N1 usb 5 9600 8 1 N A1! 000
usb-19200-7E2 usb 5 19200 7 2 E A2! 000
usb-38400-8O1 usb 5 38400 8 1 O A3! 000
usb-115200-7M1 usb 5 115200 7 1 M A4! 000
usb-4800-8S2 usb 5 4800 8 2 S A5! 000
usb-6-bits-refused usb 5 9600 6 1 N A6! 003
usb-5-bits-refused usb 5 9600 5 1 N A7! 003
uart-stalled-line uart 2 115200 8 1 N $stalled_text 001
usb-unplugged-mid-run usb 5 9600 8 1 N UNPLUG! 000
CASES

# --- the initramfs ------------------------------------------------------------

initramfs=$run/initramfs
mkdir -p "$initramfs"/{bin,dev,proc,sys,ts,modules}
cp /bin/busybox "$initramfs/bin/busybox"
cp tests/qemu/guest_init.sh "$initramfs/init"
cp "$run/cases" "$initramfs/cases"
cp "$program" "$initramfs/ts/terminal-serial"
cp "$check" "$initramfs/ts/terminal-serial-check"
# The programs' shared libraries, where the dynamic loader looks for them.
for library in $({ ldd "$program"; ldd "$check"; } | grep -o '/[^ ]*' | sort -u); do
  mkdir -p "$initramfs$(dirname "$library")"
  cp -L "$library" "$initramfs$library"
done
cp "$kernel_dir"/modules/*.ko "$initramfs/modules/"
load_order >"$initramfs/modules/order"
[ "$(wc -l <"$initramfs/modules/order")" = "${#usb_modules[@]}" ] ||
  { echo "the USB serial modules depend on one not loaded" >&2; exit 1; }
(cd "$initramfs" && find . | cpio -o -H newc --quiet) >"$run/initramfs.cpio"

# --- the boot ---------------------------------------------------------------------

printf '%s\n' serial_write serial_update_parameters 'usb_serial_*' >"$run/events"
"$device" --socket "$run/uart.sock" --delay 20 --seconds 240 --arrivals "$run/uart.arrivals" &
device_pids+=($!)
"$device" --socket "$run/usb.sock" --monitor "$run/monitor.sock" --unplug adapter \
  --delay 20 --seconds 240 --arrivals "$run/usb.arrivals" &
device_pids+=($!)

started=$(date +%s)
# Software emulation: these machines offer no virtualisation. A stalled USB
# serial backend can freeze QEMU, hence the kill after the time limit.
timeout -k 5 240 qemu-system-x86_64 \
  -nodefaults -machine q35 -accel tcg -smp 1 -m 256 -display none -no-reboot \
  -kernel "$kernel_dir/vmlinux" -initrd "$run/initramfs.cpio" \
  -append "console=ttyS0 quiet loglevel=0 panic=-1" \
  -chardev file,id=console,path="$run/console.log" -serial chardev:console \
  -chardev socket,id=uart,path="$run/uart.sock",server=on,wait=off -serial chardev:uart \
  -device qemu-xhci,id=xhci \
  -chardev socket,id=usbline,path="$run/usb.sock",server=on,wait=off \
  -device usb-serial,chardev=usbline,id=adapter \
  -monitor unix:"$run/monitor.sock",server=on,wait=off \
  -msg timestamp=on -trace events="$run/events" -D "$run/trace.log" &
qemu_pid=$!
status=0
wait "$qemu_pid" || status=$?
qemu_pid=
# The devices end when QEMU's sockets close, writing what they saw.
wait "${device_pids[@]}" || true
device_pids=()
echo "QEMU stage: boot and $(wc -l <"$run/cases") runs in $(($(date +%s) - started)) s"
# Kept for a look after a failure.
rm -rf "$cache/last-run"
mkdir -p "$cache/last-run"
cp "$run/cases" "$run/console.log" "$run/trace.log" "$run"/*.arrivals "$cache/last-run/" 2>/dev/null ||
  true
if [ "$status" != 0 ]; then
  echo "QEMU ended with status $status; the guest's console:" >&2
  cat "$run/console.log" >&2
  exit 1
fi
python3 tests/qemu/check_wire.py "$cache/last-run"
