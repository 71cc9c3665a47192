#!/usr/bin/env python3
"""One exchange through terminal-serial, as a calling program makes it: write
the order, start the program, wait for it, read the result and the reply.

    caller.py FOLDER PORT TEXT

FOLDER is a working folder: prepared by terminal-serial-setup on Linux, the
unpacked zip on Windows. On success the device's reply goes to standard output
byte for byte and the exit status is 0. Otherwise the result line goes to
standard error and the exit status is the program's: the result code, 8, 10
or 11 (Windows: a fault), or 128 plus a signal's number (Linux).
"""

import os
import subprocess
import sys
from pathlib import Path

EXECUTABLE = "terminal-serial.exe" if os.name == "nt" else "terminal-serial"
# The files and the serial line carry Windows-1252 bytes.
ENCODING = "cp1252"


def exchange(folder, port, text, baud=9600, data_bits=8, stop_bits=1, parity="N"):
    """Runs one exchange; returns (exit status, result line or None, reply bytes)."""
    folder = Path(folder)
    lines = [str(port), str(baud), str(data_bits), str(stop_bits), parity, text]
    # Six lines, each ended by CR LF; encode() refuses a character that
    # Windows-1252 lacks rather than send something else.
    order = "".join(line + "\r\n" for line in lines).encode(ENCODING)
    (folder / "ORDEM" / "ordem.txt").write_bytes(order)
    response = folder / "RESPOSTA" / "resposta.txt"
    # A run that ends early writes no response: never read an earlier run's.
    response.unlink(missing_ok=True)

    # About 2 seconds in hidden mode; the limit only guards against a window
    # left waiting for a person (display time 0).
    status = subprocess.run([str(folder / EXECUTABLE)], timeout=60).returncode
    # Above 7 no answer was given, whatever the folder may hold.
    if not 0 <= status <= 7 or not response.exists():
        return status, None, b""
    content = response.read_bytes()
    # "000|Sucesso" CR LF, the reply, CR LF; or one result line and CR LF.
    first_line, _, rest = content.partition(b"\r\n")
    reply = rest[:-2] if status == 0 else b""
    return status, first_line.decode(ENCODING), reply


def main():
    if len(sys.argv) != 4:
        sys.exit(__doc__)
    folder, port, text = sys.argv[1:]
    status, result, reply = exchange(folder, int(port), text)
    if status == 0:
        sys.stdout.buffer.write(reply)
    elif result is None:
        print(f"terminal-serial ended with status {status} and wrote no response", file=sys.stderr)
    else:
        print(result, file=sys.stderr)
    sys.exit(status)


if __name__ == "__main__":
    main()
