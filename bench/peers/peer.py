#!/usr/bin/python3
"""What a user would write instead of terminal-serial, with the serial
library: the same exchange on the same schedule, the same response file.

Usage: peer.py FOLDER   (FOLDER holds ORDEM/, RESPOSTA/ and PORTAS/COM<n>)
"""
import time

start = time.monotonic()

import os
import select
import sys

import serial

NO_REPLY = ("001|O dispositivo conectado \u00e0 porta serial n\u00e3o respondeu "
            "no prazo de 1 segundo").encode("cp1252")


def sleep_until(seconds_after_start):
    left = start + seconds_after_start - time.monotonic()
    if left > 0:
        time.sleep(left)


def read_order(path):
    """Six lines ending in CR or CR LF; missing lines are empty."""
    with open(path, "rb") as order:
        lines = order.read().replace(b"\r\n", b"\r").split(b"\r")[:6]
    return lines + [b""] * (6 - len(lines))


def main(folder):
    port, baud, bits, stop, parity, text = read_order(
        os.path.join(folder, "ORDEM", "ordem.txt"))
    sleep_until(0.5)
    device = serial.Serial(
        os.path.join(folder, "PORTAS", "COM" + port.decode()), int(baud),
        bytesize=int(bits), parity=parity.decode().upper(),
        stopbits=float(stop) if b"." in stop else int(stop), timeout=0)
    device.write(text)
    deadline = time.monotonic() + 1.0
    received = bytearray()
    while (left := deadline - time.monotonic()) > 0:
        if select.select([device], [], [], left)[0]:
            received += device.read(device.in_waiting or 1)
    device.close()
    result = b"000|Sucesso\r\n" + received if received else NO_REPLY
    with open(os.path.join(folder, "RESPOSTA", "resposta.txt"), "wb") as response:
        response.write(result + b"\r\n")
    time.sleep(0.5)


main(sys.argv[1])
